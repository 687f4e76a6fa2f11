// CycleGauge: taking in a reading and what the window's differences say.
#include "platform/pulse/cycle_gauge.h"

#include <cstddef>
#include <numeric>

namespace orvane {

void CycleGauge::add(int64_t writeFrame) {
  const int64_t difference = writeFrame - last_;
  const bool first = last_ < 0;
  last_ = writeFrame;
  // No cycle passed: the stream stood still (a server that was held up, a stream not yet linked).
  if (first || difference == 0) return;
  if (difference < 0 || difference > kMostDifference) {
    count_ = next_ = 0;
    return;
  }
  differences_[static_cast<std::size_t>(next_)] = difference;
  next_ = (next_ + 1) % kWindow;
  if (count_ < kWindow) ++count_;
  if (count_ < kLeastDifferences) return;
  int64_t divisor = 0;
  for (int i = 0; i < count_; ++i) divisor = std::gcd(divisor, differences_[static_cast<std::size_t>(i)]);
  cycle_ = divisor >= kShortestCycle && divisor <= kLongestCycle ? divisor : 0;
}

}  // namespace orvane
