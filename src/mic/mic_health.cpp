// Microphone health for the host: the LEVEL meter (capture thread) and the
// silence watchdog (main thread) that warns when the microphone delivers
// nothing or only digital silence, and says when it comes back.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "events/output.h"
#include "recorder/recorder.h"

namespace orvane {

namespace {

constexpr double kLevelIntervalSeconds = 0.1;
constexpr float kSilenceThreshold = 1e-5f;
constexpr double kFirstCheckSeconds = 5.0;
constexpr double kRecheckSeconds = 1.0;

// Sample `frame` of the first channel as a float in [-1, 1], whatever the layout.
float firstChannelSample(const PcmBuffer& buffer, uint32_t frame) {
  const uint8_t* at = buffer.plane(0) + static_cast<size_t>(frame) * buffer.planeStride();
  switch (buffer.format().sampleType) {
    case SampleType::float32: { float v; std::memcpy(&v, at, sizeof v); return v; }
    case SampleType::float64: { double v; std::memcpy(&v, at, sizeof v); return static_cast<float>(v); }
    case SampleType::int16: { int16_t v; std::memcpy(&v, at, sizeof v); return static_cast<float>(v) / 32768.0f; }
    case SampleType::int32: { int32_t v; std::memcpy(&v, at, sizeof v); return static_cast<float>(v) / 2147483648.0f; }
    case SampleType::uint8: return (static_cast<float>(*at) - 128.0f) / 128.0f;
  }
  return 0;
}

// Linear RMS of the first channel, summed in single precision in frame order.
float firstChannelLevel(const PcmBuffer& buffer) {
  const uint32_t frames = buffer.frameLength();
  float sum = 0;
  for (uint32_t i = 0; i < frames; ++i) {
    const float sample = firstChannelSample(buffer, i);
    sum += sample * sample;
  }
  return std::sqrt(sum / static_cast<float>(frames));
}

}  // namespace

// Capture thread: formats into a stack buffer, allocates nothing.
void Recorder::emitMicLevelIfDue(const PcmBuffer& buffer, double hostSeconds) {
  if (lastLevelEmitHostSeconds && hostSeconds - *lastLevelEmitHostSeconds < kLevelIntervalSeconds) return;
  if (buffer.frameLength() == 0 || !buffer.plane(0)) return;
  const float level = firstChannelLevel(buffer);
  if (level > kSilenceThreshold) micNonSilentFrames.fetch_add(buffer.frameLength(), std::memory_order_relaxed);
  lastLevelEmitHostSeconds = hostSeconds;
  char line[48];
  std::snprintf(line, sizeof line, "LEVEL %.3f", static_cast<double>(level));
  emit(line);
}

// Main thread.
void Recorder::armMicWatchdog() {
  if (finished) return;
  micWatchdogBaselineFrames = micFramesWritten.load(std::memory_order_relaxed);
  micWatchdogBaselineNonSilentFrames = micNonSilentFrames.load(std::memory_order_relaxed);
  ++micWatchdogGeneration;
  scheduleMicSilenceCheck(micWatchdogGeneration, micSilenceWarned ? kRecheckSeconds : kFirstCheckSeconds);
}

// Main thread. The recorder lives until the process exits, so `this` stays valid.
void Recorder::scheduleMicSilenceCheck(int64_t generation, double afterSeconds) {
  mainLoop.postAfter(afterSeconds, [this, generation] {
    if (finished || micWatchdogGeneration != generation) return;
    if (paused) return scheduleMicSilenceCheck(generation, kRecheckSeconds);
    const int64_t nonSilent = micNonSilentFrames.load(std::memory_order_relaxed);
    if (nonSilent != micWatchdogBaselineNonSilentFrames) {
      if (micSilenceWarned) {
        micSilenceWarned = false;
        emit("STATUS mic_recovered");
        diag("mic signal flowing again (" + std::to_string(nonSilent) + " non-silent frames)");
      }
      return;
    }
    if (!micSilenceWarned) {
      micSilenceWarned = true;
      emit("WARN mic_silent");
      diag(micFramesWritten.load(std::memory_order_relaxed) == micWatchdogBaselineFrames
               ? "mic produced no frames in the check window (Mic Mode / Voice Isolation?)"
               : "mic produced only digital silence in the check window (device lost to a call app's voice processing?)");
    }
    scheduleMicSilenceCheck(generation, kRecheckSeconds);
  });
}

}  // namespace orvane
