// PcmBuffer storage: one plane per channel (planar) or one plane (interleaved).
#include "platform/audio/pcm_buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace orvane {

std::unique_ptr<PcmBuffer> PcmBuffer::create(const AudioFormat& format, uint32_t frameCapacity) {
  if (format.channelCount == 0 || frameCapacity == 0 || !(format.sampleRate > 0)) return nullptr;
  try {
    return std::unique_ptr<PcmBuffer>(new PcmBuffer(format, frameCapacity));
  } catch (const std::bad_alloc&) {
    return nullptr;
  } catch (const std::length_error&) {
    return nullptr;
  }
}

PcmBuffer::PcmBuffer(const AudioFormat& format, uint32_t capacity)
    : format_(format), frameCapacity_(capacity) {
  planes_.resize(planeCount());
  for (auto& plane : planes_) plane.assign(static_cast<size_t>(capacity) * planeStride(), 0);
}

void PcmBuffer::setFrameLength(uint32_t frames) { frameLength_ = std::min(frames, frameCapacity_); }

uint32_t PcmBuffer::planeCount() const { return format_.interleaved ? 1 : format_.channelCount; }

size_t PcmBuffer::planeStride() const {
  return format_.interleaved ? format_.bytesPerFrame() : bytesPerSample(format_.sampleType);
}

uint8_t* PcmBuffer::plane(uint32_t index) { return index < planes_.size() ? planes_[index].data() : nullptr; }

const uint8_t* PcmBuffer::plane(uint32_t index) const {
  return index < planes_.size() ? planes_[index].data() : nullptr;
}

float* PcmBuffer::floatChannelData(uint32_t channel) {
  return format_.isStandard() ? reinterpret_cast<float*>(plane(channel)) : nullptr;
}

const float* PcmBuffer::floatChannelData(uint32_t channel) const {
  return format_.isStandard() ? reinterpret_cast<const float*>(plane(channel)) : nullptr;
}

void PcmBuffer::clear(uint32_t frames) {
  const size_t bytes = static_cast<size_t>(std::min(frames, frameCapacity_)) * planeStride();
  for (auto& plane : planes_) std::memset(plane.data(), 0, bytes);
}

}  // namespace orvane
