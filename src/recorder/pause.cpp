// Pause and resume: the host's commands, under the state lock. The tracks
// re-align themselves after a resume (track/track.cpp).
#include "events/output.h"
#include "platform/runtime/host_clock.h"
#include "recorder/recorder.h"

namespace orvane {

void Recorder::pause() {
  {
    std::lock_guard lock(stateLock_);
    if (ended() || !clock.pause(HostClock::nowSeconds())) return;
    if (state_ == State::recording) settle();
  }
  emit("STATUS paused");
}

void Recorder::resume() {
  bool wasEnded;
  {
    std::lock_guard lock(stateLock_);
    if (!clock.resume(HostClock::nowSeconds())) return;
    wasEnded = ended();
    if (state_ == State::paused) settle();
  }
  if (!wasEnded) emit("STATUS resumed");
}

}  // namespace orvane
