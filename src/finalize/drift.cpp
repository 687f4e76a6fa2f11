// Drift at stop: each track's real rate is measured against the host clock
// over its active time, tracks far enough off nominal are rewritten at the
// nominal rate, and the measurement is kept in a JSON sidecar.
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
#include "recorder/recorder.h"

namespace orvane {

namespace {

constexpr double kMinimumSpanSeconds = 120.0;
constexpr double kImplausiblePpm = 2000.0;
constexpr double kCorrectionThresholdPpm = 5.0;

double ppmOffset(double rate, double nominal) { return (rate - nominal) / nominal * 1e6; }

std::optional<double> measuredRate(std::optional<double> startSeconds, std::optional<double> lastSeconds,
                                   int64_t startFrames, int64_t lastFrames, double nominal) {
  if (!startSeconds || !lastSeconds) return std::nullopt;
  const int64_t frames = lastFrames - startFrames;
  const double span = *lastSeconds - *startSeconds;
  if (span < kMinimumSpanSeconds || frames < 1) return std::nullopt;
  const double rate = static_cast<double>(frames) / span;
  if (std::fabs(ppmOffset(rate, nominal)) > kImplausiblePpm) return std::nullopt;
  return rate;
}

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

}  // namespace

// Stop completion, after the writers are drained.
void Recorder::applyDriftCompensation() {
  const double nominal = monoFormat.sampleRate;
  const auto micRate = measuredRate(micStartSeconds, micLastHostSeconds, micStartFrames, micLastFrames, nominal);
  const auto sysRate = measuredRate(sysStartSeconds, sysLastHostSeconds, sysStartFrames, sysLastFrames, nominal);
  std::optional<double> driftPpm, driftMsPerMin;
  if (micRate && sysRate) {
    driftPpm = (*micRate - *sysRate) / nominal * 1e6;
    driftMsPerMin = (*micRate - *sysRate) / nominal * 60000.0;
    diag(formatted("drift: mic=%.4f Hz sys=%.4f Hz \u0394=%.1f ppm (%.3f ms/min)", *micRate, *sysRate, *driftPpm,
                   *driftMsPerMin));
  } else {
    diag("drift: not measured (recovery or span < 120s)");
  }
  // The two copies are independent and the stop waits on them: make them side
  // by side, then report them in a fixed order.
  auto correctMic = [&] {
    return correctedCopy(micTempURL, siblingPath(outputURL, "mic.corrected.caf"), micRate, nominal, "mic");
  };
  std::future<CorrectedCopy> mic;
  try {
    mic = std::async(std::launch::async, correctMic);
  } catch (const std::system_error&) {
    mic = std::async(std::launch::deferred, correctMic);
  }
  CorrectedCopy sys = correctedCopy(systemTempURL, siblingPath(outputURL, "sys.corrected.caf"), sysRate, nominal,
                                    "system");
  micCorrectedURL = report(mic.get());
  sysCorrectedURL = report(std::move(sys));
  writeDriftSidecar(micRate, sysRate, nominal, driftPpm, driftMsPerMin);
}

void Recorder::writeDriftSidecar(std::optional<double> micRate, std::optional<double> sysRate, double nominal,
                                 std::optional<double> driftPpm, std::optional<double> driftMsPerMin) {
  auto offset = [nominal](std::optional<double> rate) -> std::optional<double> {
    if (!rate) return std::nullopt;
    return ppmOffset(*rate, nominal);
  };
  nlohmann::json sidecar = {
      {"channel_drift_ms_per_min", jsonNumber(driftMsPerMin)},
      {"channel_drift_ppm", jsonNumber(driftPpm)},
      {"issue", "ZEL-352"},
      {"mic_compensated", micCorrectedURL.has_value()},
      {"mic_measured_hz", jsonNumber(micRate)},
      {"mic_offset_ppm", jsonNumber(offset(micRate))},
      {"mic_window_frames", micLastFrames - micStartFrames},
      {"nominal_hz", jsonNumber(nominal)},
      {"system_compensated", sysCorrectedURL.has_value()},
      {"system_measured_hz", jsonNumber(sysRate)},
      {"system_offset_ppm", jsonNumber(offset(sysRate))},
      {"system_window_frames", sysLastFrames - sysStartFrames},
  };
  const std::string text = sidecar.dump(2) + "\n";
  auto fd = createPrivateFile(siblingPath(outputURL, "drift.json"));
  if (!fd) return;  // the sidecar is a record, not a product: failures are ignored
  [[maybe_unused]] ssize_t written = write(fd.value(), text.data(), text.size());
  close(fd.value());
}

std::optional<std::string> Recorder::driftCorrectedTemp(const std::string& source, const std::string& dst,
                                                        std::optional<double> measuredRate, double nominal,
                                                        const std::string& label) {
  return report(correctedCopy(source, dst, measuredRate, nominal, label));
}

std::optional<std::string> Recorder::report(CorrectedCopy copy) {
  if (!copy.line.empty()) diag(copy.line);
  return std::move(copy.path);
}

// Safe off the stop's thread: it reads only its arguments and writes only `dst`.
Recorder::CorrectedCopy Recorder::correctedCopy(const std::string& source, const std::string& dst,
                                                std::optional<double> measuredRate, double nominal,
                                                const std::string& label) const {
  if (!measuredRate) return {};
  const double off = std::fabs(ppmOffset(*measuredRate, nominal));
  char offText[32];
  std::snprintf(offText, sizeof offText, "%.1f", off);
  const std::string prefix = "drift-correct " + label + ": ";
  if (off < kCorrectionThresholdPpm) return {std::nullopt, prefix + offText + " ppm below threshold, skipped"};
  std::error_code ec;
  if (!std::filesystem::exists(source, ec)) return {};
  Result<int64_t> frames = linearResampleMono(source, dst, *measuredRate, nominal);
  if (!frames) {
    std::filesystem::remove(dst, ec);
    return {std::nullopt, prefix + "failed (" + frames.error().description + "), using raw temp"};
  }
  return {dst, prefix + offText + " ppm \u2192 " + std::to_string(frames.value()) + " frames"};
}

Result<int64_t> Recorder::linearResampleMono(const std::string& from, const std::string& to, double inputRate,
                                             double outputRate) const {
  auto source = AudioFile::openForReading(from);
  if (!source) return source.error();
  const AudioSettings settings = monoPCMSettings();
  // A scratch copy: a crash before the interleave leaves the raw track to recover from.
  auto create = [&] { return AudioFile::createForWriting(to, settings, WriteDurability::atClose); };
  return resampleLinearMono(*source.value(), create, inputRate / outputRate);
}

}  // namespace orvane
