// Where captured audio enters the recorder: the microphone's tap, the
// system-audio stream's callbacks, and engine restarts after a device change.
#include <cmath>

#include "events/output.h"
#include "platform/runtime/host_clock.h"
#include "recorder/recorder.h"
#include "system_audio/system_stream.h"

namespace orvane {

namespace {
const char* boolWord(bool value) { return value ? "true" : "false"; }
}  // namespace

void Recorder::writeMicAudio(const PcmBuffer& buffer, const AudioTime& when) {
  if (finished || !mic.isOpen()) return;
  const uint64_t hostTime = when.hostTimeValid ? when.hostTime : HostClock::now();
  const double hostSeconds = HostClock::secondsForHostTime(hostTime);
  const std::optional<double> active = clock.activeSeconds(hostSeconds);
  if (!active) return;
  micLevel.measure(buffer, hostSeconds);
  mic.submit(buffer, active);
}

void Recorder::writeSystemAudio(const PcmBuffer& buffer, std::optional<double> hostSeconds) {
  if (finished || !system.isOpen()) return;
  std::optional<double> active;
  if (hostSeconds) {
    active = clock.activeSeconds(*hostSeconds);
    if (!active) return;
  } else if (clock.paused()) {
    return;
  }
  system.submit(buffer, active);
}

// Start task.
void Recorder::configureSystemAudioIfNeeded() {
  if (mode == Mode::micOnly) return;
  stream = makeSystemAudioStream(backend.screenCapture(), *this, audioQueue);
  streamConfigured = true;
}

void Recorder::startStreamCaptureIfNeeded() {
  if (!streamConfigured) return;
  stream->startCapture([this](const Status& error) {
    if (!error) return;
    // Nothing was recorded worth keeping: the tracks were opened moments ago.
    removeTemps(paths);
    fail("scstream_start", error->description);
  });
}

// audioQueue.
void Recorder::streamDidOutputSampleBuffer(const SampleBuffer& buffer, StreamOutputType type) {
  if (type != StreamOutputType::audio || !buffer.dataReady) return;
  std::optional<double> hostSeconds = buffer.presentationSeconds;
  if (hostSeconds && !std::isfinite(*hostSeconds)) hostSeconds.reset();
  auto pcm = pcmBuffer(buffer);
  if (!pcm) return;
  writeSystemAudio(*pcm, hostSeconds);
}

// Any thread. A stream that stops on its own ends the whole recording, which
// is then finalized as after "stop".
void Recorder::streamDidStopWithError(const Error& error) {
  diag("scstream stopped: " + error.description);
  {
    std::lock_guard lock(pauseLock);
    if (!finished) streamInterrupted = true;
  }
  stop();
}

void Recorder::handleEngineConfigurationChange() {
  mainLoop.post([this] {
    if (!engineStarted || finished) return;
    restarts.request([this] { engineQueue.async([this] { restartEngine(); }); });
  });
}

void Recorder::restartEngine() {
  if (!engineStarted || finished) return;
  diag(std::string("engine configuration change (running=") + boolWord(engine->isRunning()) + "); restarting");
  engine->prepare();
  if (Status error = engine->start()) diag("engine restart failed: " + error->description);
  else diag(std::string("engine restarted, running=") + boolWord(engine->isRunning()));
  mainLoop.post([this] { micWatchdog.arm(); });
}

}  // namespace orvane
