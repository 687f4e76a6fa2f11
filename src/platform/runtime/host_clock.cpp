// HostClock on CLOCK_MONOTONIC, and the wall clock for the start announcement.
#include "platform/runtime/host_clock.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>

namespace orvane {

namespace HostClock {

namespace {
std::atomic<uint64_t (*)()> source{nullptr};
}  // namespace

uint64_t monotonicNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t now() {
  auto* override = source.load(std::memory_order_relaxed);
  return override ? override() : monotonicNow();
}

void setSourceForTesting(uint64_t (*replacement)()) { source.store(replacement); }

double secondsForHostTime(uint64_t ticks) { return static_cast<double>(ticks) / 1e9; }

uint64_t hostTimeForSeconds(double seconds) {
  return seconds <= 0 ? 0 : static_cast<uint64_t>(std::llround(seconds * 1e9));
}

}  // namespace HostClock

int64_t wallClockMillis() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
}

}  // namespace orvane
