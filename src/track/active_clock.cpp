// Pause bookkeeping and active time.
#include "track/active_clock.h"

#include <algorithm>
#include <cmath>

namespace orvane {

std::optional<ActiveTime> ActiveClock::at(double hostSeconds) const {
  uint64_t state;
  double began, before;
  do {
    state = state_.load();
    began = pauseBegan_[state & kPausedBit].load();
    before = pausedBefore_[state & kPausedBit].load();
  } while (state != state_.load());
  const bool paused = (state & kPausedBit) != 0;
  const auto generation = static_cast<uint32_t>((state >> kGenerationShift) & kGenerationMask);
  if (hostSeconds < began) {
    const auto then = paused ? generation : static_cast<uint32_t>((generation - 1) & kGenerationMask);
    return ActiveTime{hostSeconds - before, then};
  }
  if (paused) return std::nullopt;
  return ActiveTime{hostSeconds - static_cast<double>(state >> kPausedShift) * 1e-6, generation};
}

std::optional<double> ActiveClock::activeSeconds(double hostSeconds) const {
  const std::optional<ActiveTime> time = at(hostSeconds);
  return time ? std::optional<double>(time->seconds) : std::nullopt;
}

bool ActiveClock::pause(double nowSeconds) {
  if (paused_) return false;
  pauseStartedSeconds_ = nowSeconds;
  pauseBegan_[1] = nowSeconds;
  pausedBefore_[1] = pausedSeconds_;
  paused_ = true;
  publish();
  return true;
}

bool ActiveClock::resume(double nowSeconds) {
  if (!paused_) return false;
  if (pauseStartedSeconds_) {
    const double pausedFor = nowSeconds - *pauseStartedSeconds_;
    if (pausedFor > 0) pausedSeconds_ += pausedFor;  // rejects NaN
  }
  pauseStartedSeconds_.reset();
  pauseBegan_[0] = pauseBegan_[1].load();
  pausedBefore_[0] = pausedBefore_[1].load();
  ++generation_;
  paused_ = false;
  publish();
  return true;
}

void ActiveClock::publish() {
  constexpr double kMostMicros = static_cast<double>(UINT64_MAX >> kPausedShift);
  const auto micros = static_cast<uint64_t>(std::min(std::round(pausedSeconds_ * 1e6), kMostMicros));
  state_.store((micros << kPausedShift) | ((generation_ & kGenerationMask) << kGenerationShift) |
               (paused_ ? kPausedBit : 0));
}

}  // namespace orvane
