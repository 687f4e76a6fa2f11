// The restart window and its back-off.
#include "mic/restart_policy.h"

#include <algorithm>

#include "events/output.h"
#include "platform/runtime/host_clock.h"

namespace orvane {

void RestartPolicy::request(const std::function<void()>& restart) {
  const double now = HostClock::nowSeconds();
  std::erase_if(restarts_, [now](double t) { return now - t >= kWindowSeconds; });
  if (restarts_.size() < kRestartsPerWindow) {
    restarts_.push_back(now);
    restart();
    return;
  }
  if (backoffPending_) return;
  backoffPending_ = true;
  diag("config change: " + std::to_string(restarts_.size()) + " restarts in window; backing off " +
       shortestDecimal(kBackoffSeconds) + "s");
  loop_.postAfter(kBackoffSeconds, [this, restart] {
    backoffPending_ = false;
    restarts_.clear();
    request(restart);
  });
}

}  // namespace orvane
