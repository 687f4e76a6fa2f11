// The restart window, its back-off, and the retries of a restart that kept the device before.
#include "mic/restart_policy.h"

#include <algorithm>

#include "events/output.h"
#include "platform/runtime/host_clock.h"

namespace orvane {

void RestartPolicy::request() {
  const double now = HostClock::nowSeconds();
  std::erase_if(failed_, [now](double t) { return now - t >= kWindowSeconds; });
  const size_t inWindow = failed_.size() + underWay_.size();
  if (inWindow < kRestartsPerWindow) {
    underWay_.push_back(now);
    restart_();
    return;
  }
  if (backoffPending_) return;
  backoffPending_ = true;
  diag("config change: " + std::to_string(inWindow) + " restarts in window; backing off " +
       shortestDecimal(kBackoffSeconds) + "s");
  loop_.postAfter(kBackoffSeconds, [this] {
    backoffPending_ = false;
    failed_.clear();
    request();
  });
}

void RestartPolicy::finished(Outcome outcome) {
  if (!underWay_.empty()) {
    if (outcome != Outcome::opened) failed_.push_back(underWay_.front());
    underWay_.erase(underWay_.begin());
  }
  if (outcome != Outcome::keptOld) {
    pendingRetry_ = 0;
    retryDelay_ = kRetryFirstSeconds;
    return;
  }
  if (pendingRetry_ != 0) return;
  pendingRetry_ = ++retryTimers_;
  loop_.postAfter(retryDelay_, [this, timer = pendingRetry_] {
    if (timer != pendingRetry_) return;
    pendingRetry_ = 0;
    request();
  });
  retryDelay_ = std::min(2 * retryDelay_, kRetryMostSeconds);
}

std::vector<double> RestartPolicy::recentRestarts() const {
  std::vector<double> all = failed_;
  all.insert(all.end(), underWay_.begin(), underWay_.end());
  return all;
}

}  // namespace orvane
