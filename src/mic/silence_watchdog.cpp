// The silence watchdog's checks: one after the first window, then every second.
#include "mic/silence_watchdog.h"

#include "events/output.h"

namespace orvane {

SilenceWatchdog::SilenceWatchdog(MainLoop& loop, const Track& track, const LevelMeter& meter,
                                 const ActiveClock& clock, std::function<bool()> finished)
    : loop_(loop), track_(track), meter_(meter), clock_(clock), finished_(std::move(finished)) {}

void SilenceWatchdog::arm() {
  if (finished_()) return;
  baselineFrames_ = track_.framesReceived();
  baselineNonSilentFrames_ = meter_.nonSilentFrames();
  ++generation_;
  schedule(generation_, warned_ ? kRecheckSeconds : kFirstCheckSeconds);
}

// The watchdog lives until the process exits, so `this` stays valid.
void SilenceWatchdog::schedule(int64_t generation, double afterSeconds) {
  loop_.postAfter(afterSeconds, [this, generation] { check(generation); });
}

void SilenceWatchdog::check(int64_t generation) {
  if (finished_() || generation_ != generation) return;
  if (clock_.paused()) return schedule(generation, kRecheckSeconds);
  const int64_t nonSilent = meter_.nonSilentFrames();
  if (nonSilent != baselineNonSilentFrames_) {
    if (warned_) {
      warned_ = false;
      emit("STATUS mic_recovered");
      diag("mic signal flowing again (" + std::to_string(nonSilent) + " non-silent frames)");
    }
    return;
  }
  if (!warned_) {
    warned_ = true;
    emit("WARN mic_silent");
    diag(track_.framesReceived() == baselineFrames_
             ? "mic produced no frames in the check window (Mic Mode / Voice Isolation?)"
             : "mic produced only digital silence in the check window (device lost to a call app's voice processing?)");
  }
  schedule(generation, kRecheckSeconds);
}

}  // namespace orvane
