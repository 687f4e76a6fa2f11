// The virtual host clock.
#include "support/sim_clock.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "platform/runtime/host_clock.h"

namespace orvane::sim::SimClock {

namespace {
// A plain function pointer is all HostClock accepts, so the clock's state is global.
std::atomic<uint64_t> origin{0};
std::atomic<double> currentSpeed{1.0};
// A wait shorter than this is not worth a wake-up.
constexpr std::chrono::nanoseconds kMinimumWait{20'000};

uint64_t virtualNow() {
  const uint64_t t0 = origin.load(std::memory_order_relaxed);
  const uint64_t real = HostClock::monotonicNow();
  return t0 + static_cast<uint64_t>(static_cast<double>(real - t0) * currentSpeed.load(std::memory_order_relaxed));
}
}  // namespace

void install(double speed) {
  if (speed == 1.0) return uninstall();
  origin = HostClock::monotonicNow();
  currentSpeed = speed;
  HostClock::setSourceForTesting(&virtualNow);
}

void uninstall() {
  HostClock::setSourceForTesting(nullptr);
  currentSpeed = 1.0;
}

std::chrono::nanoseconds realWaitUntil(uint64_t target) {
  const uint64_t now = HostClock::now();
  if (now >= target) return std::chrono::nanoseconds{0};
  const auto real = std::chrono::nanoseconds{static_cast<int64_t>(std::ceil((target - now) / currentSpeed.load()))};
  return std::max(real, kMinimumWait);
}

}  // namespace orvane::sim::SimClock
