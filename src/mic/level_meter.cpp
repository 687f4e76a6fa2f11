// RMS of the first channel, whatever the buffer's layout.
#include "mic/level_meter.h"

#include <cmath>
#include <cstring>

namespace orvane {

namespace {

constexpr float kSilenceThreshold = 1e-5f;

// Sum of squares of the first channel, in single precision in frame order;
// `scale` maps a sample to [-1, 1], `offset` is its silence.
template <typename Sample>
float sumOfSquares(const PcmBuffer& buffer, float scale, float offset = 0) {
  const uint8_t* at = buffer.plane(0);
  const size_t stride = buffer.planeStride();
  float sum = 0;
  for (uint32_t i = 0; i < buffer.frameLength(); ++i, at += stride) {
    Sample v;
    std::memcpy(&v, at, sizeof v);
    const float sample = (static_cast<float>(v) - offset) * scale;
    sum += sample * sample;
  }
  return sum;
}

// Linear RMS of the first channel, whatever the layout. The sample type is
// looked at once a buffer, not once a sample: this runs on the capture thread.
float firstChannelLevel(const PcmBuffer& buffer) {
  float sum = 0;
  switch (buffer.format().sampleType) {
    case SampleType::float32: sum = sumOfSquares<float>(buffer, 1.0f); break;
    case SampleType::float64: sum = sumOfSquares<double>(buffer, 1.0f); break;
    case SampleType::int16: sum = sumOfSquares<int16_t>(buffer, 1.0f / 32768.0f); break;
    case SampleType::int32: sum = sumOfSquares<int32_t>(buffer, 1.0f / 2147483648.0f); break;
    case SampleType::uint8: sum = sumOfSquares<uint8_t>(buffer, 1.0f / 128.0f, 128.0f); break;
  }
  return std::sqrt(sum / static_cast<float>(buffer.frameLength()));
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
