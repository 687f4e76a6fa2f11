// SampleBufferRing: preallocated SampleBuffers that a capture thread fills in
// fixed-size chunks and hands to a queue without allocating or waiting. A slot
// is in flight from the chunk's completion until the consumer releases it;
// when the next slot is still in flight the ring is full and the caller drops.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/sample_buffer.h"

namespace orvane {

class SampleBufferRing {
 public:
  // Allocates every slot now: `slotCount` buffers of `chunkFrames` frames of
  // `format` (interleaved).
  SampleBufferRing(const AudioFormat& format, uint32_t chunkFrames, size_t slotCount);

  // --- producer thread; none of these allocates, locks or waits.

  bool isOpen() const { return open_ >= 0; }
  // Frames until the open chunk is full; a whole chunk when none is open.
  uint32_t roomFrames() const;
  // Starts a chunk whose first frame has host time `presentationSeconds`;
  // false when the ring is full.
  bool open(double presentationSeconds);
  // Appends whole frames to the open chunk; at most roomFrames().
  void write(const uint8_t* frames, uint32_t count);
  // Ends the open chunk (full or not) and returns its slot, now in flight;
  // -1 when none was open or it held no frames (then nothing is in flight).
  int close();

  // --- consumer, any thread.
  const SampleBuffer& buffer(int slot) const { return slots_[static_cast<size_t>(slot)].buffer; }
  void release(int slot);

  uint32_t chunkFrames() const { return chunkFrames_; }

 private:
  struct Slot {
    SampleBuffer buffer;
    std::atomic<bool> inFlight{false};
  };

  std::unique_ptr<Slot[]> slots_;
  size_t slotCount_;
  uint32_t chunkFrames_;
  size_t frameBytes_;
  size_t next_ = 0;  // the slot the next chunk claims
  int open_ = -1;
};

}  // namespace orvane
