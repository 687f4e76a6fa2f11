// AudioFormat: the description of a PCM stream (rate, channels, sample type,
// layout), and the processing formats that the recorder uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane {

enum class SampleType : uint8_t { float32, float64, int16, int32, uint8 };

size_t bytesPerSample(SampleType type);

struct AudioFormat {
  double sampleRate = 0;
  uint32_t channelCount = 0;
  SampleType sampleType = SampleType::float32;
  bool interleaved = false;

  // The processing format: 32-bit float, non-interleaved.
  static AudioFormat standard(double sampleRate, uint32_t channelCount) {
    return AudioFormat{sampleRate, channelCount, SampleType::float32, false};
  }

  bool isStandard() const { return sampleType == SampleType::float32 && !interleaved; }
  size_t bytesPerFrame() const { return bytesPerSample(sampleType) * channelCount; }
  std::string describe() const;

  friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

}  // namespace orvane
