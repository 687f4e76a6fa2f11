// Pause and resume, active time, and the silence top-up that keeps a track's
// length in step with the active time after a resume.
#include <algorithm>
#include <cmath>

#include "events/output.h"
#include "platform/runtime/host_clock.h"
#include "recorder/recorder.h"

namespace orvane {

void Recorder::pause() {
  {
    std::lock_guard lock(pauseLock);
    if (paused || finished) return;
    paused = true;
    pauseStartedHostSeconds = HostClock::nowSeconds();
  }
  emit("STATUS paused");
}

void Recorder::resume() {
  bool wasFinished;
  {
    std::lock_guard lock(pauseLock);
    if (!paused) return;
    if (pauseStartedHostSeconds) {
      const double pausedFor = HostClock::nowSeconds() - *pauseStartedHostSeconds;
      // Before clearing `paused`: a capture thread that sees the pause over must see its length too.
      if (pausedFor > 0) pausedHostDurationSeconds = pausedHostDurationSeconds + pausedFor;  // rejects NaN
    }
    paused = false;
    pauseStartedHostSeconds.reset();
    ++realignGeneration;
    wasFinished = finished;
  }
  if (!wasFinished) emit("STATUS resumed");
}

// Lock-free because the microphone's capture thread calls it for every buffer.
std::optional<double> Recorder::activeHostSeconds(double hostSeconds) {
  if (paused) return std::nullopt;
  return hostSeconds - pausedHostDurationSeconds;
}

// The shortfall is measured from the last buffer appended, not from the
// track's start: a device clock 80 ppm fast is 230 frames ahead of the nominal
// rate after a minute, and topping it up against the nominal rate would put a
// step of that size into the track at every resume. Over the few buffers
// since the anchor the device's own rate and the nominal rate agree to a
// fraction of a frame.
int64_t Recorder::padTrackForResume(AudioFile& file, double hostSec, std::optional<double> anchorSec,
                                    int64_t anchorFrames, std::atomic<int64_t>& framesWritten) {
  if (!anchorSec) return 0;
  const double rate = monoFormat.sampleRate;
  const auto expected = static_cast<int64_t>(std::round((hostSec - *anchorSec) * rate));
  const int64_t present = framesWritten.load(std::memory_order_relaxed) - anchorFrames;
  const int64_t shortfall = expected - present;
  if (shortfall < 1) return -shortfall;
  const auto frames = static_cast<uint32_t>(std::min<int64_t>(shortfall, static_cast<int64_t>(rate)));
  auto silence = PcmBuffer::create(monoFormat, frames);
  if (!silence) return 0;
  silence->setFrameLength(frames);
  silence->clear(frames);
  if (file.write(*silence)) return 0;
  framesWritten.fetch_add(frames, std::memory_order_relaxed);
  diag("resume re-align: padded " + std::to_string(frames) + " frames");
  return 0;
}

}  // namespace orvane
