// HostClock: the one clock that capture time stamps, pauses and drift are
// measured on (CLOCK_MONOTONIC), in ticks of one nanosecond.
#pragma once

#include <cstdint>

namespace orvane {

namespace HostClock {
uint64_t now();
double secondsForHostTime(uint64_t ticks);
uint64_t hostTimeForSeconds(double seconds);
inline double nowSeconds() { return secondsForHostTime(now()); }
// Tests that deliver minutes of audio in seconds run the whole process on a
// virtual clock; nullptr restores CLOCK_MONOTONIC.
void setSourceForTesting(uint64_t (*source)());
// CLOCK_MONOTONIC itself, whatever the source.
uint64_t monotonicNow();
}  // namespace HostClock

// Wall-clock milliseconds since 1970-01-01 UTC, truncated toward zero.
int64_t wallClockMillis();

// The time stamp of a captured buffer's first frame.
struct AudioTime {
  uint64_t hostTime = 0;
  bool hostTimeValid = false;
  // A block of a stream opened again, moved or whose stamps began anew, while
  // its stamps settle: nothing ties it to the frames before, so the track
  // places it at its stamp exactly.
  bool startsAnew = false;
};

}  // namespace orvane
