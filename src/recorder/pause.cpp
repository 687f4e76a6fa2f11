// Pause and resume, active time, and the silence top-up that keeps a track's
// length in step with the active time after a resume.
#include <algorithm>
#include <cmath>

#include "cli/output.h"
#include "platform/host_clock.h"
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

void Recorder::padTrackForResume(AudioFile& file, double hostSec, std::optional<double> startSec,
                                 int64_t startFrames, std::atomic<int64_t>& framesWritten) {
  if (!startSec) return;
  const double rate = monoFormat.sampleRate;
  const auto expected = static_cast<int64_t>(std::round((hostSec - *startSec) * rate));
  const int64_t present = framesWritten.load(std::memory_order_relaxed) - startFrames;
  const int64_t shortfall = expected - present;
  if (shortfall < 1) return;
  const auto frames = static_cast<uint32_t>(std::min<int64_t>(shortfall, static_cast<int64_t>(rate)));
  auto silence = PcmBuffer::create(monoFormat, frames);
  if (!silence) return;
  silence->setFrameLength(frames);
  silence->clear(frames);
  if (file.write(*silence)) return;
  framesWritten.fetch_add(frames, std::memory_order_relaxed);
  diag("resume re-align: padded " + std::to_string(frames) + " frames");
}

}  // namespace orvane
