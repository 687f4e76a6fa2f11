// The start sequence, the single stop, and the stop completion that drains
// the writers, finalizes and ends the process with its terminal line.
#include <future>
#include <memory>
#include <string>

#include "events/output.h"
#include "platform/audio_file.h"
#include "recorder/recorder.h"

namespace orvane {

namespace {

template <class Step>
void runStartStep(Step&& step) {
  try {
    step();
  } catch (const CaptureError& error) {
    fail(error.code, error.message);
  } catch (const Error& error) {
    fail("start_failed", error.description);
  }
}

}  // namespace

bool Recorder::ensureMicrophoneAccess() {
  Permissions& permissions = backend.permissions();
  const int status = permissions.microphoneStatus();
  if (status == static_cast<int>(MicAuthorization::authorized)) return true;
  if (status != static_cast<int>(MicAuthorization::notDetermined)) return false;
  // The start task has its own thread, so waiting here blocks no event loop.
  auto answer = std::make_shared<std::promise<bool>>();
  auto granted = answer->get_future();
  permissions.requestMicrophone([answer](bool value) { answer->set_value(value); });
  return granted.get();
}

void Recorder::start() {
  emit("STATUS starting");
  startingAnnounced.release();
  if (mode != Mode::systemOnly && !ensureMicrophoneAccess()) {
    fail("mic_permission", "microphone access not granted");
  }
  if (stopRequested) return stop();
  // An output the file layer cannot write would only fail at the stop, after
  // the whole recording: refuse it before anything is captured.
  if (Status unsupported = checkCanCreate(outputURL, outputSettings(writeWav))) {
    fail("start_failed", unsupported->description);
  }
  runStartStep([this] { configureSystemAudioIfNeeded(); });
  if (stopRequested) return stop();
  runStartStep([this] {
    configureCapture();
    startEngineIfNeeded();
  });
  if (stopRequested) return stop();
  armFsyncTimer();
  emit("STATUS recording " + std::to_string(wallClockMillis()));
}

void Recorder::stop() {
  stopRequested = true;
  {
    std::lock_guard lock(pauseLock);
    if (finished.exchange(true)) return;
  }
  if (const MainLoop::TimerId timer = fsyncTimer.exchange(0)) mainLoop.cancel(timer);
  if (micTapInstalled) engine->removeTap();
  if (engineStarted) engine->stop();
  if (streamConfigured) stream->stopCapture([](const Status&) {});
  audioQueue.async([this] { stopCompletion(); });
}

void Recorder::stopCompletion() {
  fsyncQueue.drain();  // a flush tick already under way queues its work before the drains below
  micWriterQueue.drain();
  sysWriterQueue.drain();
  std::unique_lock tracks(tempFilesLock);  // a start still under way opens no track after this
  micFile.reset();
  systemFile.reset();
  tracks.unlock();
  if (!producedAudio) {
    cleanupTemps();
    finish("ERROR stopped_early recording stopped before capture began", 2);
  }
  applyDriftCompensation();
  Result<int64_t> written = interleaveTracks();
  if (!written) finish("ERROR finalize_failed " + written.error().description, 2);
  // A track that failed to read may be missing from the output: keep every
  // temporary track, as --keep-temps would, so a recovery can try again.
  if (interleaveReadFailed()) {
    diag("keeping the temporary tracks after a read failure");
  } else if (!keepTemps) {
    cleanupTemps();
  }
  bool interrupted;
  {
    std::lock_guard lock(pauseLock);
    interrupted = streamInterrupted;
  }
  if (interrupted) emit("WARN screen_interrupted");
  finish("STATUS stopped " + outputURL, 0);
}

}  // namespace orvane
