// PcmBuffer: a block of PCM frames in any AudioFormat, with a fixed capacity
// and a settable frame length. Memory is allocated once, at creation.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio/audio_format.h"

namespace orvane {

class PcmBuffer {
 public:
  // Yields nothing when the format or capacity cannot be allocated
  // (zero channels, zero capacity, or out of memory).
  static std::unique_ptr<PcmBuffer> create(const AudioFormat& format, uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  uint32_t frameCapacity() const { return frameCapacity_; }
  uint32_t frameLength() const { return frameLength_; }
  // Clamped to the capacity.
  void setFrameLength(uint32_t frames);

  // Number of planes: channelCount when non-interleaved, else 1.
  uint32_t planeCount() const;
  uint8_t* plane(uint32_t index);
  const uint8_t* plane(uint32_t index) const;
  // Bytes per frame within one plane.
  size_t planeStride() const;

  // Per-channel float samples; null unless the format is 32-bit float non-interleaved.
  float* floatChannelData(uint32_t channel);
  const float* floatChannelData(uint32_t channel) const;

  // Zeroes the first `frames` frames of every plane.
  void clear(uint32_t frames);

 private:
  PcmBuffer(const AudioFormat& format, uint32_t capacity);
  AudioFormat format_;
  uint32_t frameCapacity_ = 0;
  uint32_t frameLength_ = 0;
  std::vector<std::vector<uint8_t>> planes_;
};

}  // namespace orvane
