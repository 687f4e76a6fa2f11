// CycleGauge: the length of a PipeWire graph's cycle (its quantum), in frames,
// from a record stream's write index read at scattered moments. The server
// moves the index by one cycle's frames at the end of each cycle, so any two
// readings lie a whole number of cycles apart, and the greatest common
// divisor of the last few differences is the cycle once two of them are
// coprime multiples of it. A cycle that shortens (a client asking for less
// latency arrives) shows at the first difference that is an odd multiple of
// the new one; one that lengthens, once the shorter cycles have left the
// window. Allocates nothing after it is made.
#pragma once

#include <array>
#include <cstdint>

namespace orvane {

class CycleGauge {
 public:
  // Differences kept: at a reading every 0.2-0.3 s, the window spans 2 s.
  static constexpr int kWindow = 8;
  // Differences needed before the cycle is trusted.
  static constexpr int kLeastDifferences = 3;
  // PipeWire's cycles lie within these (its quantum limits); a greatest
  // common divisor outside them is no cycle (a graph at another rate than
  // the stream's moves the index by uneven steps).
  static constexpr int64_t kShortestCycle = 16;
  static constexpr int64_t kLongestCycle = 8192;
  // Readings further apart than this (or going back) are of another stream.
  static constexpr int64_t kMostDifference = 1 << 17;

  // The next reading of the server's write index, in frames.
  void add(int64_t writeFrame);
  // Readings from now on are of another stream: what was measured stays
  // until the new stream's readings say otherwise.
  void restart() { last_ = -1; }
  // Frames per cycle; 0 while unknown.
  int64_t cycleFrames() const { return cycle_; }

 private:
  std::array<int64_t, kWindow> differences_{};
  int count_ = 0;
  int next_ = 0;
  int64_t last_ = -1;
  int64_t cycle_ = 0;
};

}  // namespace orvane
