// ActiveClock: the pause state of a run and the active time derived from it
// (host seconds minus every completed pause), which every track stamps its
// buffers with.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <optional>

namespace orvane {

// A block's place in active time, and the resumes before it: a writer that
// sees a new generation re-aligns its track.
struct ActiveTime {
  double seconds = 0;
  uint32_t generation = 0;
};

class ActiveClock {
 public:
  // Capture threads and writers: the pause state, the paused total and the
  // generation are always of one moment. A moment before the latest pause
  // began (a block that came late) has the active time and generation of
  // then; a later one is absent while paused.
  std::optional<ActiveTime> at(double hostSeconds) const;
  std::optional<double> activeSeconds(double hostSeconds) const;
  bool paused() const { return (state_.load() & kPausedBit) != 0; }

  // Main thread, under the recorder's pause lock. False when nothing changed.
  bool pause(double nowSeconds);
  bool resume(double nowSeconds);

 private:
  // state_: bit 0 paused, bits 1-15 the resumes so far (wrapping), bits 16-63
  // the completed pauses in microseconds (nine years).
  static constexpr uint64_t kPausedBit = 1;
  static constexpr int kGenerationShift = 1;
  static constexpr uint64_t kGenerationMask = 0x7fff;
  static constexpr int kPausedShift = 16;
  void publish();

  std::atomic<uint64_t> state_{0};
  // The latest pause's start and the completed pauses before it, one pair
  // for each pause state: a pause or a resume writes the pair of the state
  // it then publishes, never the one a reader of the state before takes, so
  // a reader that finds state_ unchanged after reading its pair read it whole.
  std::atomic<double> pauseBegan_[2] = {-HUGE_VAL, -HUGE_VAL};
  std::atomic<double> pausedBefore_[2] = {0, 0};
  // The pause lock's, exact: state_ holds them rounded.
  bool paused_ = false;
  double pausedSeconds_ = 0;
  uint32_t generation_ = 0;
  std::optional<double> pauseStartedSeconds_;
};

}  // namespace orvane
