// The microphone write path, capture-thread side: time stamp, pause check,
// metering, then the shared slot ring (recorder/track_writer.cpp).
#include "platform/runtime/host_clock.h"
#include "recorder/track_writer.h"

namespace orvane {

// Capture thread. Real-time rules: no allocation once the slot ring exists,
// no lock but the slot lock, no I/O (the LEVEL and back-pressure lines are
// single stdio writes, as the host protocol asks).
void Recorder::writeMicAudio(const PcmBuffer& buffer, const AudioTime& when) {
  if (finished || !micFile) return;
  const uint64_t hostTime = when.hostTimeValid ? when.hostTime : HostClock::now();
  const double hostSeconds = HostClock::secondsForHostTime(hostTime);
  const std::optional<double> active = activeHostSeconds(hostSeconds);
  if (!active) return;
  emitMicLevelIfDue(buffer, hostSeconds);
  submitToTrack(micTrack(), buffer, micFile, active);
}

}  // namespace orvane
