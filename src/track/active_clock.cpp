// Pause bookkeeping and active time.
#include "track/active_clock.h"

namespace orvane {

std::optional<double> ActiveClock::activeSeconds(double hostSeconds) const {
  if (paused_) return std::nullopt;
  return hostSeconds - pausedSeconds_;
}

bool ActiveClock::pause(double nowSeconds) {
  if (paused_) return false;
  pauseStartedSeconds_ = nowSeconds;
  paused_ = true;
  return true;
}

bool ActiveClock::resume(double nowSeconds) {
  if (!paused_) return false;
  if (pauseStartedSeconds_) {
    const double pausedFor = nowSeconds - *pauseStartedSeconds_;
    // Before clearing the pause: a capture thread that sees it over must see its length too.
    if (pausedFor > 0) pausedSeconds_ = pausedSeconds_ + pausedFor;  // rejects NaN
  }
  pauseStartedSeconds_.reset();
  ++realignGeneration_;
  paused_ = false;
  return true;
}

}  // namespace orvane
