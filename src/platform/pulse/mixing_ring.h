// MixingRing: one mono timeline that several streams' blocks are added into,
// each at the place its host-time stamp gives, and that is handed on, oldest
// first, as blocks stamped in host time (silence where nothing was added).
// Each stream keeps a Lane: its blocks follow on from one another while the
// stamps agree, so the stamps' wander never breaks a stream up; a stream whose
// clock parts from the host's is drawn back a frame at a time (a sample
// repeated or left out). Allocates only when made; add() and handOn()
// allocate nothing, take no lock and do no I/O. HeldBlocks keeps a lane's
// blocks until the lateness they are to be placed with is known.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace orvane {

class MixingRing {
 public:
  // A block within kDeadBandFrames (1 ms at 48 kHz) of where its lane's last
  // one ended follows it; up to kJumpFrames (5 ms, a track's gap threshold)
  // off, it is drawn one frame towards its stamp; further, it goes where its
  // stamp says (frames lost, or a stream opened afresh).
  static constexpr int64_t kDeadBandFrames = 48;
  static constexpr int64_t kJumpFrames = 240;

  struct Lane {
    bool placed = false;
    int64_t nextFrame = 0;  // where its next block follows on, once placed
    int64_t lateFrames = 0;  // how much later than their stamps its blocks go
  };

  // Frame 0 of the timeline is `originSeconds` (host seconds).
  MixingRing(double rate, int64_t frames, double originSeconds)
      : rate_(rate), origin_(originSeconds), ring_(static_cast<size_t>(frames), 0.0f) {}

  double originSeconds() const { return origin_; }
  int64_t handedOn() const { return handedOn_; }
  double secondsAt(int64_t frame) const { return origin_ + static_cast<double>(frame) / rate_; }

  // Adds a lane's block stamped `stampSeconds`, `lateFrames` after its stamp;
  // returns the frames left out because their place was handed on already or
  // lies beyond the ring (not those before frame 0). A lane whose lateness
  // changes is placed afresh: it is what the stream's audio truly moved by.
  int64_t add(Lane& lane, const float* samples, int64_t frames, double stampSeconds, int64_t lateFrames = 0);

  // Hands on the frames before `untilSeconds` once at least `leastFrames`
  // (at least one) are due, in pieces of at most `maxFrames`, through
  // emit(const float* samples, uint32_t frames, double stampSeconds); the
  // piece is read before the next one is made. Due frames beyond the ring's
  // length (a loop that was held up) are skipped, not handed on.
  template <class Emit>
  void handOn(double untilSeconds, int64_t leastFrames, uint32_t maxFrames, Emit&& emit);

 private:
  int64_t addAt(int64_t at, const float* samples, int64_t frames);

  const double rate_;
  const double origin_;
  std::vector<float> ring_;
  int64_t handedOn_ = 0;
};

// A lane's blocks kept back, with their stamps, before they can be placed;
// added to a ring later, oldest first, each run of them that follows on from
// one another (no block more than kJumpFrames later, or kMostSettleSeconds
// earlier, than the one before ends) as its newest block's stamp says: a
// stream's stamps settle on its earliest arrivals in its first second, and
// move only earlier as they do (further, its stamps began anew).
// Allocates only when made.
class HeldBlocks {
 public:
  static constexpr int kMostBlocks = 64;
  static constexpr double kMostSettleSeconds = 0.25;

  explicit HeldBlocks(int64_t frames) : samples_(static_cast<size_t>(frames)) {}

  // False, keeping nothing, when the block does not fit.
  bool keep(const float* samples, int64_t frames, double stampSeconds);
  bool empty() const { return count_ == 0; }
  double firstStampSeconds() const { return blocks_[0].ownStampSeconds; }
  // add(const float* samples, int64_t frames, double stampSeconds) for each, oldest first; empties.
  template <class Add>
  void release(double rate, Add&& add);

 private:
  struct Block {
    int64_t frames;
    double ownStampSeconds;
    double stampSeconds;  // where it goes
  };
  std::vector<float> samples_;
  std::array<Block, kMostBlocks> blocks_{};
  int count_ = 0;
  int64_t frames_ = 0;
};

template <class Add>
void HeldBlocks::release(double rate, Add&& add) {
  const double jumpSeconds = static_cast<double>(MixingRing::kJumpFrames) / rate;
  for (int i = count_ - 2, next = count_ - 1; i >= 0; --i, --next) {
    Block& block = blocks_[static_cast<size_t>(i)];
    const Block& after = blocks_[static_cast<size_t>(next)];
    const double ends = block.frames / rate;
    const double gap = after.ownStampSeconds - (block.ownStampSeconds + ends);
    if (gap <= jumpSeconds && gap >= -kMostSettleSeconds) {
      block.stampSeconds = after.stampSeconds - ends;
    }
  }
  const float* samples = samples_.data();
  for (int i = 0; i < count_; ++i) {
    const Block& block = blocks_[static_cast<size_t>(i)];
    add(samples, block.frames, block.stampSeconds);
    samples += block.frames;
  }
  count_ = 0;
  frames_ = 0;
}

template <class Emit>
void MixingRing::handOn(double untilSeconds, int64_t leastFrames, uint32_t maxFrames, Emit&& emit) {
  const auto end = static_cast<int64_t>(std::floor((untilSeconds - origin_) * rate_));
  if (end - handedOn_ < std::max<int64_t>(leastFrames, 1)) return;
  const auto size = static_cast<int64_t>(ring_.size());
  if (end - handedOn_ > size) {
    std::fill(ring_.begin(), ring_.end(), 0.0f);
    handedOn_ = end;
    return;
  }
  while (handedOn_ < end) {
    const int64_t slot = handedOn_ % size;
    const auto frames = static_cast<uint32_t>(std::min({end - handedOn_, int64_t{maxFrames}, size - slot}));
    const double stamp = secondsAt(handedOn_);
    handedOn_ += frames;
    float* piece = ring_.data() + slot;
    emit(static_cast<const float*>(piece), frames, stamp);
    std::fill(piece, piece + frames, 0.0f);
  }
}

}  // namespace orvane
