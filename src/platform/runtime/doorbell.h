// Doorbell: one thread waits, bounded, for a ring from any other; ringing
// takes no lock and allocates nothing, so a real-time thread may ring.
#pragma once

#include <atomic>
#include <cstdint>

namespace orvane {

class Doorbell {
 public:
  // Any thread: wakes the waiter, or makes its next wait return at once.
  // Only the first ring after a wait makes a system call.
  void ring();
  // The one waiter: returns once rung or after `timeoutSeconds`, whichever
  // comes first, the ring taken.
  void wait(double timeoutSeconds);

 private:
  std::atomic<uint32_t> rung_{0};
};

}  // namespace orvane
