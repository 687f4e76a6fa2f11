// SampleBufferRing: slot claim, chunk filling and release.
#include "platform/audio/sample_buffer_ring.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace orvane {

SampleBufferRing::SampleBufferRing(const AudioFormat& format, uint32_t chunkFrames, size_t slotCount)
    : slots_(std::make_unique<Slot[]>(slotCount)),
      slotCount_(slotCount),
      chunkFrames_(chunkFrames),
      frameBytes_(format.bytesPerFrame()) {
  for (size_t i = 0; i < slotCount_; ++i) {
    SampleBuffer& buffer = slots_[i].buffer;
    buffer.format = format;
    buffer.format.interleaved = true;
    buffer.data.resize(chunkFrames_ * frameBytes_);
  }
}

uint32_t SampleBufferRing::roomFrames() const {
  return open_ < 0 ? chunkFrames_ : chunkFrames_ - slots_[static_cast<size_t>(open_)].buffer.frameCount;
}

bool SampleBufferRing::open(double presentationSeconds) {
  if (open_ >= 0) return true;
  Slot& slot = slots_[next_];
  // Acquire: the consumer's reads of this slot are over before we refill it.
  if (slot.inFlight.load(std::memory_order_acquire)) return false;
  slot.buffer.frameCount = 0;
  slot.buffer.presentationSeconds = presentationSeconds;
  open_ = static_cast<int>(next_);
  next_ = (next_ + 1) % slotCount_;
  return true;
}

void SampleBufferRing::write(const uint8_t* frames, uint32_t count) {
  if (open_ < 0) return;
  SampleBuffer& buffer = slots_[static_cast<size_t>(open_)].buffer;
  count = std::min(count, chunkFrames_ - buffer.frameCount);
  std::memcpy(buffer.data.data() + buffer.frameCount * frameBytes_, frames, count * frameBytes_);
  buffer.frameCount += count;
}

int SampleBufferRing::close() {
  const int slot = std::exchange(open_, -1);
  if (slot < 0) return -1;
  Slot& closed = slots_[static_cast<size_t>(slot)];
  if (closed.buffer.frameCount == 0) {
    next_ = static_cast<size_t>(slot);  // unused: the next chunk takes it, in ring order
    return -1;
  }
  closed.inFlight.store(true, std::memory_order_release);
  return slot;
}

void SampleBufferRing::release(int slot) {
  slots_[static_cast<size_t>(slot)].inFlight.store(false, std::memory_order_release);
}

}  // namespace orvane
