// Signal generation for the scripted devices.
#include "support/sim_signal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace orvane::sim {

void storeSample(uint8_t* at, SampleType type, float value) {
  const double v = std::clamp(static_cast<double>(value), -1.0, 1.0);
  switch (type) {
    case SampleType::float32: { const float f = value; std::memcpy(at, &f, sizeof f); return; }
    case SampleType::float64: { const double d = value; std::memcpy(at, &d, sizeof d); return; }
    case SampleType::int16: { const auto s = static_cast<int16_t>(std::lround(v * 32767)); std::memcpy(at, &s, sizeof s); return; }
    case SampleType::int32: { const auto s = static_cast<int32_t>(std::llround(v * 2147483647.0)); std::memcpy(at, &s, sizeof s); return; }
    case SampleType::uint8: *at = static_cast<uint8_t>(std::lround(v * 127 + 128)); return;
  }
}

float SignalWriter::sampleAt(int64_t frame, const DeviceTimeline& timeline) const {
  switch (script_.kind) {
    case SignalKind::none:
    case SignalKind::zeros:
      return 0;
    case SignalKind::sine: {
      // The phase from the frame index alone, so it stays exact over hours.
      const double cycles = script_.frequency * static_cast<double>(frame) / timeline.sampleRate;
      return static_cast<float>(script_.amplitude * std::sin(2 * std::numbers::pi * (cycles - std::floor(cycles))));
    }
    case SignalKind::clicks: {
      const auto period = static_cast<uint64_t>(std::llround(script_.clickEveryMs * 1e6));
      const auto width = static_cast<uint64_t>(std::llround(script_.clickWidthMs * 1e6));
      if (period == 0) return 0;
      return timeline.hostTimeOfFrame(frame) % period < width ? static_cast<float>(script_.amplitude) : 0.0f;
    }
  }
  return 0;
}

void SignalWriter::fill(PcmBuffer& buffer, uint32_t frames, int64_t firstFrame,
                        const DeviceTimeline& timeline) const {
  frames = std::min(frames, buffer.frameCapacity());
  const AudioFormat& format = buffer.format();
  const size_t sampleBytes = bytesPerSample(format.sampleType);
  const size_t stride = buffer.planeStride();
  for (uint32_t i = 0; i < frames; ++i) {
    const float value = sampleAt(firstFrame + i, timeline);
    for (uint32_t c = 0; c < format.channelCount; ++c) {
      uint8_t* at = format.interleaved ? buffer.plane(0) + i * stride + c * sampleBytes
                                       : buffer.plane(c) + i * stride;
      storeSample(at, format.sampleType, value);
    }
  }
  buffer.setFrameLength(frames);
}

}  // namespace orvane::sim
