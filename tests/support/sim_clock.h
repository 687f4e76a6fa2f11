// Time for the scripted devices: the process-wide virtual host clock that lets
// minutes of audio pass in seconds, the stamp of each device frame, seeded
// time-stamp jitter, and waiting for a host time on a condition variable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>

#include "platform/host_clock.h"

namespace orvane::sim {

// The virtual clock runs `speed` times as fast as CLOCK_MONOTONIC from the
// moment it is installed: now = t0 + (monotonic − t0) × speed. Everything
// that reads HostClock (time stamps, pauses, the main loop's timers) sees it.
namespace SimClock {
// Speed 1 leaves CLOCK_MONOTONIC in place.
void install(double speed);
void uninstall();
double speed();
// Real time from now until host time `target`; zero once it has passed.
std::chrono::nanoseconds realWaitUntil(uint64_t target);
}  // namespace SimClock

// Where a run of a device puts its frames on the host clock. A device whose
// clock is `ppm` fast delivers rate × (1 + ppm·1e-6) frames per host second.
// Stamps come from the frame index, never from summed steps, so they do not
// wander over a long run.
struct DeviceTimeline {
  uint64_t startHostTime = 0;
  double sampleRate = 48000;
  double ppm = 0;

  double effectiveRate() const { return sampleRate * (1 + ppm * 1e-6); }
  uint64_t hostTimeOfFrame(int64_t frame) const;
};

// Seeded uniform jitter of ± maxMs, in host ticks (nanoseconds).
class Jitter {
 public:
  Jitter(double maxMs, uint64_t seed) : maxNanos_(maxMs * 1e6), rng_(seed) {}
  int64_t next();

 private:
  double maxNanos_;
  std::mt19937_64 rng_;
};

// Waits until host time `target` (true) or until `interrupted()` holds (false).
// `lock` holds the mutex that guards what `interrupted` reads.
template <class Interrupted>
bool waitForHostTime(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t target,
                     Interrupted interrupted) {
  while (!interrupted()) {
    const auto wait = SimClock::realWaitUntil(target);
    if (wait.count() == 0) return true;
    cv.wait_for(lock, wait);
  }
  return false;
}

}  // namespace orvane::sim
