// Drift at stop: each track's real rate is measured against the host clock
// over its active time, tracks far enough off nominal are corrected to the
// nominal rate as the output is made, and the measurement is kept in a JSON
// sidecar.
#include "finalize/drift.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "events/output.h"
#include "finalize/span_resampler.h"
#include "platform/audio_file.h"
#include "platform/files/private_file.h"

namespace orvane {

namespace {

// Before the rate is measured, a track heard live is corrected by what its
// stamps show over this long at least, when that is this far off.
constexpr double kProvisionalSpanSeconds = 30.0;
constexpr double kProvisionalThresholdPpm = 40.0;
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

// The frames `source` becomes at `ratio`.
Result<int64_t> resampledFrames(const std::string& source, double ratio) {
  auto opened = AudioFile::openForReading(source);
  if (!opened) return opened.error();
  if ((*opened)->length() < 2) return Error{"orvane.drift", 1, "source too short to resample"};
  return resampledLength((*opened)->length(), ratio);
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
      {"mic_compensated", corrected.micRatio != 1.0},
      {"mic_measured_hz", jsonNumber(m.micRate)},
      {"mic_offset_ppm", jsonNumber(offset(m.micRate))},
      {"mic_window_frames", m.micWindowFrames},
      {"nominal_hz", jsonNumber(kNominalRate)},
      {"system_compensated", corrected.systemRatio != 1.0},
      {"system_measured_hz", jsonNumber(m.systemRate)},
      {"system_offset_ppm", jsonNumber(offset(m.systemRate))},
      {"system_window_frames", m.systemWindowFrames},
  };
  const std::string text = sidecar.dump(2) + "\n";
  auto fd = createUserFile(path);  // the host's to read, like the output
  if (!fd) return;  // the sidecar is a record, not a product: failures are ignored
  const int failed = writeAll(*fd, text.data(), text.size());
  // A sidecar cut short (a full disk) is no record: none is left rather than a torn one.
  if (::close(*fd) != 0 || failed) ::unlink(path.c_str());
}

}  // namespace

double correctionRatio(std::optional<double> measuredRate, double nominal) {
  if (!measuredRate || std::fabs(ppmOffset(*measuredRate, nominal)) < kCorrectionThresholdPpm) return 1.0;
  return *measuredRate / nominal;
}

double provisionalRatio(const TrackTimeline& timeline, double nominal) {
  if (std::optional<double> rate = measuredRate(timeline, nominal)) return correctionRatio(rate, nominal);
  if (!timeline.startSeconds || !timeline.lastSeconds) return 1.0;
  const double span = *timeline.lastSeconds - *timeline.startSeconds;
  if (span < kProvisionalSpanSeconds) return 1.0;
  const double rate = static_cast<double>(timeline.lastFrames - timeline.startFrames) / span;
  const double off = std::fabs(ppmOffset(rate, nominal));
  if (off < kProvisionalThresholdPpm || off > kImplausiblePpm) return 1.0;
  return rate / nominal;
}

namespace {

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

}  // namespace

double correctTrack(const std::string& source, std::optional<double> measuredRate, double nominal,
                    const std::string& label) {
  if (!measuredRate) return 1;
  const double off = std::fabs(ppmOffset(*measuredRate, nominal));
  char offText[32];
  std::snprintf(offText, sizeof offText, "%.1f", off);
  const std::string prefix = "drift-correct " + label + ": ";
  if (off < kCorrectionThresholdPpm) {
    diag(prefix + offText + " ppm below threshold, skipped");
    return 1;
  }
  std::error_code ec;
  if (!std::filesystem::exists(source, ec)) return 1;
  const double ratio = *measuredRate / nominal;
  Result<int64_t> frames = resampledFrames(source, ratio);
  if (!frames) {
    diag(prefix + "failed (" + frames.error().description + "), using raw temp");
    return 1;
  }
  diag(prefix + offText + " ppm \u2192 " + std::to_string(frames.value()) + " frames");
  return ratio;
}

DriftCorrection applyDriftCompensation(const TempPaths& paths, const TrackTimeline& mic,
                                       const TrackTimeline& system) {
  const DriftMeasurement m = measureDrift(mic, system);
  if (m.driftPpm) {
    diag(formatted("drift: mic=%.4f Hz sys=%.4f Hz \u0394=%.1f ppm (%.3f ms/min)", *m.micRate, *m.systemRate,
                   *m.driftPpm, *m.driftMsPerMin));
  } else {
    diag("drift: not measured (recovery or span < 120s)");
  }
  DriftCorrection corrected;
  corrected.micRatio = correctTrack(paths.mic, m.micRate, kNominalRate, "mic");
  corrected.systemRatio = correctTrack(paths.system, m.systemRate, kNominalRate, "system");
  writeDriftSidecar(paths.sidecar, m, corrected);
  return corrected;
}

}  // namespace orvane
