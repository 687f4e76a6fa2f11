// SilenceWatchdog: warns the host when the microphone delivers nothing or only
// digital silence for a check window, and says when a signal comes back.
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>

#include "mic/level_meter.h"
#include "platform/runtime/main_loop.h"
#include "track/active_clock.h"
#include "track/track.h"

namespace orvane {

class SilenceWatchdog {
 public:
  static constexpr double kFirstCheckSeconds = 5.0;
  static constexpr double kRecheckSeconds = 1.0;

  // `finished` tells when the run is over; every check stops then.
  SilenceWatchdog(MainLoop& loop, const Track& track, const LevelMeter& meter, const ActiveClock& clock,
                  std::function<bool()> finished);

  // Starts a new check window from now; an armed earlier one lapses.
  void arm();
  int64_t generation() const { return generation_; }

 private:
  void schedule(int64_t generation, double afterSeconds);
  void check(int64_t generation);

  MainLoop& loop_;
  const Track& track_;
  const LevelMeter& meter_;
  const ActiveClock& clock_;
  std::function<bool()> finished_;
  bool warned_ = false;
  int64_t baselineFrames_ = 0;
  int64_t baselineNonSilentFrames_ = 0;
  int64_t generation_ = 0;
};

}  // namespace orvane
