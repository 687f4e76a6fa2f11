// The restart window and its back-off.
#include "mic/restart_policy.h"

#include <algorithm>

#include "events/output.h"
#include "platform/runtime/host_clock.h"

namespace orvane {

void RestartPolicy::request(const std::function<void()>& restart) {
  const double now = HostClock::nowSeconds();
  std::erase_if(failed_, [now](double t) { return now - t >= kWindowSeconds; });
  const size_t inWindow = failed_.size() + underWay_.size();
  if (inWindow < kRestartsPerWindow) {
    underWay_.push_back(now);
    restart();
    return;
  }
  if (backoffPending_) return;
  backoffPending_ = true;
  diag("config change: " + std::to_string(inWindow) + " restarts in window; backing off " +
       shortestDecimal(kBackoffSeconds) + "s");
  loop_.postAfter(kBackoffSeconds, [this, restart] {
    backoffPending_ = false;
    failed_.clear();
    request(restart);
  });
}

void RestartPolicy::finished(bool succeeded) {
  if (underWay_.empty()) return;
  const double began = underWay_.front();
  underWay_.erase(underWay_.begin());
  if (!succeeded) failed_.push_back(began);
}

std::vector<double> RestartPolicy::recentRestarts() const {
  std::vector<double> all = failed_;
  all.insert(all.end(), underWay_.begin(), underWay_.end());
  return all;
}

}  // namespace orvane
