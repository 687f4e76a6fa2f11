// RestartPolicy: how often an input may be restarted after configuration
// changes. A restart that succeeds is never held back (a device switch, a
// headset changing profile, may change both inputs every second or two);
// restarts that fail are: at most four failed or still under way in any
// 10 s, then a fifth change waits out one back-off of 3 s. A restart that
// could not open the new device while the input records on the one before is
// asked again after 1 s, 2, 4, 8, then every 10 s, until one opens or the
// input stops: the server says nothing more of a change it has made. Spaced
// so, retries alone never fill the window. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "platform/runtime/main_loop.h"

namespace orvane {

class RestartPolicy {
 public:
  static constexpr double kWindowSeconds = 10.0;
  static constexpr size_t kRestartsPerWindow = 4;
  static constexpr double kBackoffSeconds = 3.0;
  static constexpr double kRetryFirstSeconds = 1.0;
  static constexpr double kRetryMostSeconds = 10.0;

  // How a restart ended: on the device its rules chose; failed while the
  // input still records on the device before; failed, the input recording nothing.
  enum class Outcome { opened, keptOld, failed };

  // `restart` starts one restart; every restart it starts is answered by one finished() call.
  RestartPolicy(MainLoop& loop, std::function<void()> restart) : loop_(loop), restart_(std::move(restart)) {}

  // Restarts now when the window has room; else, once, after the back-off
  // with the window emptied.
  void request();
  // The oldest restart under way has ended; a failed one stays in the window.
  void finished(Outcome outcome);
  bool backoffPending() const { return backoffPending_; }
  // Host seconds of the restarts in the window: failed ones, then those under way.
  std::vector<double> recentRestarts() const;

 private:
  MainLoop& loop_;
  const std::function<void()> restart_;
  std::vector<double> failed_;
  std::vector<double> underWay_;
  bool backoffPending_ = false;
  // The retry timer that counts (0: none; one of a retry streak that ended is void), and the next one's delay.
  uint64_t pendingRetry_ = 0;
  uint64_t retryTimers_ = 0;
  double retryDelay_ = kRetryFirstSeconds;
};

}  // namespace orvane
