// RestartPolicy: how often the microphone's engine may be restarted after
// configuration changes. At most four restarts in any 10 s; a fifth change
// waits out one back-off of 3 s. Main thread only.
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
  // back-off with the window emptied. `restart` is called again then.
  void request(const std::function<void()>& restart);
  bool backoffPending() const { return backoffPending_; }
  const std::vector<double>& recentRestarts() const { return restarts_; }

 private:
  MainLoop& loop_;
  std::vector<double> restarts_;
  bool backoffPending_ = false;
};

}  // namespace orvane
