// RestartPolicy: how often an input may be restarted after configuration
// changes. A restart that succeeds is never held back (a device switch, a
// headset changing profile, may change both inputs every second or two);
// restarts that fail are: at most four failed or still under way in any
// 10 s, then a fifth change waits out one back-off of 3 s. Main thread only.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "platform/runtime/main_loop.h"

namespace orvane {

class RestartPolicy {
 public:
  static constexpr double kWindowSeconds = 10.0;
  static constexpr size_t kRestartsPerWindow = 4;
  static constexpr double kBackoffSeconds = 3.0;

  explicit RestartPolicy(MainLoop& loop) : loop_(loop) {}

  // Runs `restart` now when the window has room; else, once, after the
  // back-off with the window emptied. `restart` is called again then. Every
  // restart it runs is answered by one finished() call.
  void request(const std::function<void()>& restart);
  // The oldest restart under way has ended; a failed one stays in the window.
  void finished(bool succeeded);
  bool backoffPending() const { return backoffPending_; }
  // Host seconds of the restarts in the window: failed ones, then those under way.
  std::vector<double> recentRestarts() const;

 private:
  MainLoop& loop_;
  std::vector<double> failed_;
  std::vector<double> underWay_;
  bool backoffPending_ = false;
};

}  // namespace orvane
