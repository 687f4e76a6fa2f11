// MixingRing: placing a lane's block and adding it in.
#include "platform/pulse/mixing_ring.h"

#include <cstdlib>

namespace orvane {

int64_t MixingRing::add(Lane& lane, const float* samples, int64_t frames, double stampSeconds) {
  int64_t at = std::llround((stampSeconds - origin_) * rate_);
  if (lane.placed) {
    const int64_t off = at - lane.nextFrame;
    if (std::llabs(off) <= kDeadBandFrames) at = lane.nextFrame;
    else if (std::llabs(off) <= kJumpFrames) at = lane.nextFrame + (off > 0 ? 1 : -1);
  }
  lane.placed = true;
  lane.nextFrame = at + frames;
  const auto size = static_cast<int64_t>(ring_.size());
  const int64_t from = std::max(at, handedOn_);
  const int64_t to = std::min(at + frames, handedOn_ + size);
  if (to <= from) return frames;
  samples += from - at;
  for (int64_t frame = from, slot = from % size; frame < to; ++frame, ++samples) {
    ring_[static_cast<size_t>(slot)] += *samples;
    if (++slot == size) slot = 0;
  }
  return frames - (to - from);
}

}  // namespace orvane
