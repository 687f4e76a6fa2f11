// Pause and resume: the host's commands, under the pause lock. The tracks
// re-align themselves after a resume (track/track.cpp).
#include "events/output.h"
#include "platform/runtime/host_clock.h"
#include "recorder/recorder.h"

namespace orvane {

void Recorder::pause() {
  {
    std::lock_guard lock(pauseLock);
    if (finished || !clock.pause(HostClock::nowSeconds())) return;
  }
  emit("STATUS paused");
}

void Recorder::resume() {
  bool wasFinished;
  {
    std::lock_guard lock(pauseLock);
    if (!clock.resume(HostClock::nowSeconds())) return;
    wasFinished = finished;
  }
  if (!wasFinished) emit("STATUS resumed");
}

}  // namespace orvane
