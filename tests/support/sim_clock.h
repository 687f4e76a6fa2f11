// The process-wide virtual host clock that lets minutes of scripted audio pass
// in seconds: now = t0 + (monotonic − t0) × speed from the moment it is
// installed. Everything that reads HostClock (time stamps, pauses, the main
// loop's timers) sees it.
#pragma once

#include <chrono>
#include <cstdint>

namespace orvane::sim::SimClock {

// Speed 1 leaves CLOCK_MONOTONIC in place.
void install(double speed);
void uninstall();
// Real time from now until host time `target`; zero once it has passed.
std::chrono::nanoseconds realWaitUntil(uint64_t target);

}  // namespace orvane::sim::SimClock
