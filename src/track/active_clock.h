// ActiveClock: the pause state of a run and the active time derived from it
// (host seconds minus every completed pause), which every track stamps its
// buffers with.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace orvane {

class ActiveClock {
 public:
  // Capture threads and writer queues: lock-free, since the microphone's
  // capture thread calls it for every buffer. Absent while paused.
  std::optional<double> activeSeconds(double hostSeconds) const;
  bool paused() const { return paused_.load(); }
  // Bumped by every resume: a writer that sees a new value re-aligns its track.
  int64_t realignGeneration() const { return realignGeneration_.load(); }

  // Main thread, under the recorder's pause lock. False when nothing changed.
  bool pause(double nowSeconds);
  bool resume(double nowSeconds);

 private:
  std::atomic<bool> paused_{false};
  std::atomic<double> pausedSeconds_{0};
  std::atomic<int64_t> realignGeneration_{0};
  std::optional<double> pauseStartedSeconds_;
};

}  // namespace orvane
