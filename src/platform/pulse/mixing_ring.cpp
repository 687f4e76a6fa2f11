// MixingRing: placing a lane's block and adding it in; HeldBlocks: keeping one.
#include "platform/pulse/mixing_ring.h"

#include <cstdlib>

namespace orvane {

int64_t MixingRing::add(Lane& lane, const float* samples, int64_t frames, double stampSeconds, int64_t lateFrames) {
  int64_t at = std::llround((stampSeconds - origin_) * rate_) + lateFrames;
  const int64_t off = at - lane.nextFrame;
  if (!lane.placed || lane.lateFrames != lateFrames || std::llabs(off) > kJumpFrames) {
    lane.placed = true;
    lane.lateFrames = lateFrames;
    lane.nextFrame = at + frames;
    return addAt(at, samples, frames);
  }
  at = lane.nextFrame;
  int64_t leftOut = 0;
  // Drawn a frame towards its stamp: the block's first sample is heard twice,
  // or not at all, where a frame of silence or two on top of each other
  // would click.
  if (off > kDeadBandFrames) leftOut = addAt(at++, samples, 1);
  if (off < -kDeadBandFrames && frames > 0) ++samples, --frames;
  lane.nextFrame = at + frames;
  return leftOut + addAt(at, samples, frames);
}

// Frames before frame 0 precede the timeline (a stream's first block holds
// what it heard before it was asked): left out, but nothing was missed.
int64_t MixingRing::addAt(int64_t at, const float* samples, int64_t frames) {
  const auto size = static_cast<int64_t>(ring_.size());
  const int64_t from = std::max(at, handedOn_);
  const int64_t to = std::min(at + frames, handedOn_ + size);
  const int64_t before = std::min(frames, std::max<int64_t>(-at, 0));
  if (to <= from) return frames - before;
  samples += from - at;
  for (int64_t frame = from, slot = from % size; frame < to; ++frame, ++samples) {
    ring_[static_cast<size_t>(slot)] += *samples;
    if (++slot == size) slot = 0;
  }
  return frames - (to - from) - before;
}

bool HeldBlocks::keep(const float* samples, int64_t frames, double stampSeconds) {
  if (count_ == kMostBlocks || frames_ + frames > static_cast<int64_t>(samples_.size())) return false;
  std::copy(samples, samples + frames, samples_.begin() + frames_);
  blocks_[static_cast<size_t>(count_++)] = {frames, stampSeconds, stampSeconds};
  frames_ += frames;
  return true;
}

}  // namespace orvane
