// RMS of the first channel, whatever the buffer's layout.
#include "mic/level_meter.h"

#include <cmath>
#include <cstring>

namespace orvane {

namespace {

constexpr float kSilenceThreshold = 1e-5f;

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

bool LevelMeter::measure(const PcmBuffer& buffer, double hostSeconds) {
  if (lastMeasuredSeconds_ && hostSeconds - *lastMeasuredSeconds_ < kIntervalSeconds) return false;
  if (buffer.frameLength() == 0 || !buffer.plane(0)) return false;
  const float level = firstChannelLevel(buffer);
  if (level > kSilenceThreshold) nonSilentFrames_.fetch_add(buffer.frameLength(), std::memory_order_relaxed);
  lastMeasuredSeconds_ = hostSeconds;
  level_.store(level, std::memory_order_relaxed);
  measured_.fetch_add(1, std::memory_order_release);
  return true;
}

std::optional<float> LevelMeter::takeLevel() {
  const int64_t measured = measured_.load(std::memory_order_acquire);
  if (measured == reported_) return std::nullopt;
  reported_ = measured;
  return level_.load(std::memory_order_relaxed);
}

}  // namespace orvane
