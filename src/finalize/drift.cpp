// Drift at stop: each track's real rate is measured against the host clock
// over its active time, tracks far enough off nominal are rewritten at the
// nominal rate, and the measurement is kept in a JSON sidecar.
#include "finalize/drift.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <future>

#include <nlohmann/json.hpp>

#include "events/output.h"
#include "finalize/linear_resampler.h"
#include "platform/files/private_file.h"

namespace orvane {

namespace {

constexpr double kMinimumSpanSeconds = 120.0;
constexpr double kImplausiblePpm = 2000.0;
constexpr double kCorrectionThresholdPpm = 5.0;
constexpr double kNominalRate = 48000;

double ppmOffset(double rate, double nominal) { return (rate - nominal) / nominal * 1e6; }

std::string formatted(const char* format, double a, double b, double c, double d) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c, d);
  return text;
}

// Integral doubles are stored as integers so that 48000.0 prints as 48000.
nlohmann::json jsonNumber(std::optional<double> value) {
  if (!value) return nullptr;
  const double v = *value;
  if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 9e15) return static_cast<int64_t>(v);
  return v;
}

// A corrected copy and the line that reports it, made apart so that the two
// tracks can be corrected at once and reported in order.
struct CorrectedCopy {
  std::optional<std::string> path;
  std::string line;
};

std::optional<std::string> report(CorrectedCopy copy) {
  if (!copy.line.empty()) diag(copy.line);
  return std::move(copy.path);
}

Result<int64_t> linearResampleMono(const std::string& from, const std::string& to, double ratio) {
  auto source = AudioFile::openForReading(from);
  if (!source) return source.error();
  const AudioSettings settings = linearPCM16Settings(kNominalRate, 1);
  // A scratch copy: a crash before the interleave leaves the raw track to recover from.
  auto create = [&] { return AudioFile::createForWriting(to, settings, WriteDurability::atClose); };
  return resampleLinearMono(*source.value(), create, ratio);
}

// Safe off the stop's thread: it reads only its arguments and writes only `dst`.
// The frames a copy of `source` resampled at `ratio` would hold.
Result<int64_t> resampledFrames(const std::string& source, double ratio) {
  auto opened = AudioFile::openForReading(source);
  if (!opened) return opened.error();
  if ((*opened)->length() < 2) return Error{kDriftErrorDomain, kSourceTooShort, "source too short to resample"};
  return resampledLength((*opened)->length(), ratio);
}

CorrectedCopy correctedCopy(const std::string& source, const std::string& dst, std::optional<double> measuredRate,
                            double nominal, const std::string& label, bool inOutput = false) {
  if (!measuredRate) return {};
  const double off = std::fabs(ppmOffset(*measuredRate, nominal));
  char offText[32];
  std::snprintf(offText, sizeof offText, "%.1f", off);
  const std::string prefix = "drift-correct " + label + ": ";
  if (off < kCorrectionThresholdPpm) return {std::nullopt, prefix + offText + " ppm below threshold, skipped"};
  std::error_code ec;
  if (!std::filesystem::exists(source, ec)) return {};
  Result<int64_t> frames = inOutput ? resampledFrames(source, *measuredRate / nominal)
                                    : linearResampleMono(source, dst, *measuredRate / nominal);
  if (!frames) {
    std::filesystem::remove(dst, ec);
    return {std::nullopt, prefix + "failed (" + frames.error().description + "), using raw temp"};
  }
  return {dst, prefix + offText + " ppm \u2192 " + std::to_string(frames.value()) + " frames"};
}

void writeDriftSidecar(const std::string& path, const DriftMeasurement& m, const DriftCorrection& corrected) {
  auto offset = [](std::optional<double> rate) -> std::optional<double> {
    if (!rate) return std::nullopt;
    return ppmOffset(*rate, kNominalRate);
  };
  nlohmann::json sidecar = {
      {"channel_drift_ms_per_min", jsonNumber(m.driftMsPerMin)},
      {"channel_drift_ppm", jsonNumber(m.driftPpm)},
      {"issue", "ZEL-352"},
      {"mic_compensated", corrected.mic.has_value()},
      {"mic_measured_hz", jsonNumber(m.micRate)},
      {"mic_offset_ppm", jsonNumber(offset(m.micRate))},
      {"mic_window_frames", m.micWindowFrames},
      {"nominal_hz", jsonNumber(kNominalRate)},
      {"system_compensated", corrected.system.has_value()},
      {"system_measured_hz", jsonNumber(m.systemRate)},
      {"system_offset_ppm", jsonNumber(offset(m.systemRate))},
      {"system_window_frames", m.systemWindowFrames},
  };
  const std::string text = sidecar.dump(2) + "\n";
  auto fd = createUserFile(path);  // the host's to read, like the output
  if (!fd) return;  // the sidecar is a record, not a product: failures are ignored
  [[maybe_unused]] ssize_t written = write(fd.value(), text.data(), text.size());
  close(fd.value());
}

}  // namespace

double correctionRatio(std::optional<double> measuredRate, double nominal) {
  if (!measuredRate || std::fabs(ppmOffset(*measuredRate, nominal)) < kCorrectionThresholdPpm) return 1.0;
  return *measuredRate / nominal;
}

std::optional<double> measuredRate(const TrackTimeline& timeline, double nominal) {
  if (!timeline.startSeconds || !timeline.lastSeconds) return std::nullopt;
  const int64_t frames = timeline.lastFrames - timeline.startFrames;
  const double span = *timeline.lastSeconds - *timeline.startSeconds;
  if (span < kMinimumSpanSeconds || frames < 1) return std::nullopt;
  const double rate = static_cast<double>(frames) / span;
  if (std::fabs(ppmOffset(rate, nominal)) > kImplausiblePpm) return std::nullopt;
  return rate;
}

DriftMeasurement measureDrift(const TrackTimeline& mic, const TrackTimeline& system) {
  DriftMeasurement m;
  m.micRate = measuredRate(mic, kNominalRate);
  m.systemRate = measuredRate(system, kNominalRate);
  m.micWindowFrames = mic.lastFrames - mic.startFrames;
  m.systemWindowFrames = system.lastFrames - system.startFrames;
  if (m.micRate && m.systemRate) {
    m.driftPpm = (*m.micRate - *m.systemRate) / kNominalRate * 1e6;
    m.driftMsPerMin = (*m.micRate - *m.systemRate) / kNominalRate * 60000.0;
  }
  return m;
}

std::optional<std::string> driftCorrectedTemp(const std::string& source, const std::string& dst,
                                              std::optional<double> measuredRate, double nominal,
                                              const std::string& label) {
  return report(correctedCopy(source, dst, measuredRate, nominal, label));
}

DriftCorrection applyDriftCompensation(const TempPaths& paths, const TrackTimeline& mic,
                                       const TrackTimeline& system, bool inOutput) {
  const DriftMeasurement m = measureDrift(mic, system);
  if (m.driftPpm) {
    diag(formatted("drift: mic=%.4f Hz sys=%.4f Hz \u0394=%.1f ppm (%.3f ms/min)", *m.micRate, *m.systemRate,
                   *m.driftPpm, *m.driftMsPerMin));
  } else {
    diag("drift: not measured (recovery or span < 120s)");
  }
  // The two copies are independent and the stop waits on them: make them side
  // by side, then report them in a fixed order.
  auto correctMic = [&] {
    return correctedCopy(paths.mic, paths.micCorrected, m.micRate, kNominalRate, "mic", inOutput);
  };
  std::future<CorrectedCopy> micCopy;
  try {
    micCopy = std::async(std::launch::async, correctMic);
  } catch (const std::system_error&) {
    micCopy = std::async(std::launch::deferred, correctMic);
  }
  CorrectedCopy sysCopy =
      correctedCopy(paths.system, paths.systemCorrected, m.systemRate, kNominalRate, "system", inOutput);
  DriftCorrection corrected;
  corrected.mic = report(micCopy.get());
  corrected.system = report(std::move(sysCopy));
  writeDriftSidecar(paths.sidecar, m, corrected);
  return corrected;
}

}  // namespace orvane
