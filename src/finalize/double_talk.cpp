// Double talk from the echo suppressor's output and the echo path's loss.
#include "finalize/double_talk.h"

#include <algorithm>
#include <cmath>

namespace orvane {
namespace {

// A block quieter than this (-70 dBFS) holds nothing to tell.
constexpr double kQuietEnergy = 1e-7;
// Where the suppressor took out this much the block was echo alone, and the
// microphone against the far end is the echo path's loss.
constexpr double kEchoOnlyDb = -20;
// The loss is the median of these blocks', followed in steps: a quiet moment
// of the echo or a loud one of the far end does not pull it far.
constexpr double kLossStepDb = 0.1;
// The echo comes from the far end around the path's delay: the room's tail
// after it, and the delay as found may lag a move.
constexpr int kBeforeBlocks = 2, kAfterBlocks = 20;

double dB(double ratio) { return 10 * std::log10(ratio + 1e-30); }

}  // namespace

double DoubleTalkDetector::loudestFarEnd(std::optional<double> delayMs) const {
  int from = 0, to = kHistoryBlocks - 1;
  if (delayMs) {
    const int delay = static_cast<int>(*delayMs / 10);
    from = std::max(0, delay - kBeforeBlocks);
    to = std::min(kHistoryBlocks - 1, delay + kAfterBlocks);
  }
  double loudest = 0;
  for (int lag = from; lag <= to && lag < blocks_; ++lag) {
    loudest = std::max(loudest, reference_[(blocks_ - 1 - lag) % kHistoryBlocks]);
  }
  return loudest;
}

float DoubleTalkDetector::update(const Block& block, std::optional<double> delayMs) {
  reference_[blocks_++ % kHistoryBlocks] = block.reference;
  const double farEnd = loudestFarEnd(delayMs);
  const double passed = dB(block.processed / (block.recorded + kQuietEnergy));
  if (farEnd > kQuietEnergy && block.recorded > kQuietEnergy && passed < kEchoOnlyDb) {
    const double loss = dB(block.recorded / farEnd);
    returnLossDb_ = returnLossDb_ ? *returnLossDb_ + kLossStepDb * (loss > *returnLossDb_ ? 1 : -1) : loss;
  }
  // With no far end to speak of, or its echo not yet learnt, what the
  // suppressor lets through is not echo.
  const bool aboveEcho = !returnLossDb_ || farEnd <= kQuietEnergy ||
                         dB(block.recorded / farEnd) - *returnLossDb_ > settings_.aboveEchoDb;
  const bool near = block.recorded > kQuietEnergy && passed > settings_.passedDb && aboveEcho;
  if (near) held_ = settings_.holdBlocks + 1;
  if (held_ == 0) return 0.0f;
  --held_;
  return settings_.mix;
}

}  // namespace orvane
