// LevelMeter: the microphone's level for the host's LEVEL lines, and the count
// of frames that carried a signal, which the silence watchdog reads. The
// capture thread measures; the main loop reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/audio/pcm_buffer.h"

namespace orvane {

class LevelMeter {
 public:
  static constexpr double kIntervalSeconds = 0.1;

  // Capture thread: measures `buffer` when the last measurement is at least
  // kIntervalSeconds old by host time; true when it did. Allocates nothing,
  // locks nothing.
  bool measure(const PcmBuffer& buffer, double hostSeconds);
  // Main thread: the level measured since the last call, if any.
  std::optional<float> takeLevel();
  // Any thread: frames of measured buffers whose level was above silence.
  int64_t nonSilentFrames() const { return nonSilentFrames_.load(std::memory_order_relaxed); }

 private:
  std::optional<double> lastMeasuredSeconds_;  // capture thread
  std::atomic<float> level_{0};
  std::atomic<int64_t> measured_{0};
  int64_t reported_ = 0;  // main thread
  std::atomic<int64_t> nonSilentFrames_{0};
};

}  // namespace orvane
