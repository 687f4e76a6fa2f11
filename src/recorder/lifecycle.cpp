// The start sequence, the single stop, and the stop completion that closes
// the tracks, finalizes and ends the process with its terminal line.
#include <unistd.h>

#include <chrono>
#include <future>
#include <semaphore>
#include <thread>
#include <memory>
#include <string>

#include "events/output.h"
#include "finalize/drift.h"
#include "finalize/interleave.h"
#include "finalize/recovery.h"
#include "mic/engine_start.h"
#include "platform/audio_file.h"
#include "platform/files/private_file.h"
#include "platform/runtime/host_clock.h"
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
  // Nobody to ask is no refusal: the truth is that there is nothing to record from.
  if (status == kMicStatusUnknown) fail("engine_start", "the sound server is not reachable");
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
  // A line break would end our own event line early: nothing is created for such a path.
  if (hasLineBreak(outputURL)) {
    fail("start_failed", "the output path contains a line break");
  }
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
  emit("STATUS recording " + std::to_string(wallClockMillis()));
  armTimers();
}

// A stop that came meanwhile may already have closed and cleaned up the
// temporary tracks: then nothing is opened, so that none is left behind.
// The lock is taken before the file is truncated: a track that another
// recording holds (the same --out twice) is left as it is.
bool Recorder::openTrack(Track& track) {
  std::lock_guard lock(tempFilesLock);
  if (stopRequested) return false;
  const bool existed = ::access(track.path().c_str(), F_OK) == 0;
  Result<int> locked = lockTrackFile(track.path());
  if (!locked) {
    if (locked.error().code == EWOULDBLOCK) {
      throw Error{"posix", EWOULDBLOCK, "the temporary track " + track.path() + " is in use by a running recording"};
    }
    throw locked.error();
  }
  auto file = backend.createTrackFile(track.path(), linearPCM16Settings(Track::format().sampleRate, 1));
  if (!file || !track.open(file.value(), *locked)) {
    ::close(*locked);
    if (!existed) ::unlink(track.path().c_str());  // the lock's empty file, not a track
    if (!file) throw file.error();
    throw posixError(ENOMEM, "cannot allocate the " + std::string(track.name()) + " track");
  }
  return true;
}

// Start task.
void Recorder::configureCapture() {
  if (mode != Mode::systemOnly) {
    if (voiceProcessing) {
      if (Status error = engine->setVoiceProcessingEnabled(true)) {
        diag("voice processing unavailable: " + error->description);
      }
    }
    if (!openTrack(mic)) return;
    const AudioFormat tapFormat = engine->format();
    diag("mic tap format: " + shortestDecimal(tapFormat.sampleRate) + " Hz, " +
         std::to_string(tapFormat.channelCount) + " ch");
    mic.prepare(tapFormat);
    engine->setBlockHandler([this](const PcmBuffer& buffer, const AudioTime& when) { writeMicAudio(buffer, when); });
    micTapInstalled = true;
    if (mode == Mode::micOnly) return;
  }
  openTrack(system);
}

// Start task.
void Recorder::startEngineIfNeeded() {
  if (mode == Mode::systemOnly) return;
  engine->setChangeHandler([this] { handleEngineConfigurationChange(); });
  if (!startEngineWithRetry(*engine, stopRequested)) return;
  engineStarted = true;
  mainLoop.post([this] { micWatchdog.arm(); });
}

void Recorder::stop() {
  double expected = 0;
  stopSeconds.compare_exchange_strong(expected, HostClock::nowSeconds());
  stopRequested = true;
  {
    std::lock_guard lock(pauseLock);
    if (finished.exchange(true)) return;
  }
  cancelTimers();
  // Off this thread: the inputs first read what the server holds up to the
  // stop, then the tracks are closed. An input stuck on an unresponsive sound
  // server (its restart waits on engineQueue) does not hold the stop.
  auto inputsStopped = std::make_shared<std::binary_semaphore>(0);
  engineQueue.async([this, inputsStopped] {
    stopInputs();
    inputsStopped->release();
  });
  std::thread([this, inputsStopped] {
    inputsStopped->try_acquire_for(std::chrono::duration<double>(kStopInputsWaitSeconds));
    stopCompletion();
  }).detach();
}

void Recorder::stopInputs() {
  const double until = clock.paused() ? 0 : stopSeconds.load();
  if (engineStarted) engine->stop(until);
  if (micTapInstalled) engine->setBlockHandler(nullptr);
  if (streamConfigured) stream->stop(until);
}

bool Recorder::closeTracks() {
  std::lock_guard lock(tempFilesLock);  // a start still under way opens no track after this
  bool closed = true;
  for (Track* track : {&mic, &system}) {
    if (Status error = track->close()) {
      diag(std::string(track->name()) + " track could not be finished: " + error->description);
      closed = false;
    }
    if (!track->restoreName()) closed = false;
  }
  return closed;
}

void Recorder::stopCompletion() {
  const bool closed = closeTracks();
  if (!mic.producedAudio() && !system.producedAudio()) {
    removeTemps(paths);
    finish("ERROR stopped_early recording stopped before capture began", 2);
  }
  // Read through the files the tracks wrote, whatever became of their names.
  TempPaths reading = paths;
  reading.mic = mic.readPath();
  reading.system = system.readPath();
  const DriftCorrection corrected = applyDriftCompensation(reading, mic.timeline(), system.timeline());
  std::optional<TrackSource> micSource, systemSource;
  if (mode != Mode::systemOnly) micSource = TrackSource{corrected.mic.value_or(reading.mic), mic.timeline().startSeconds};
  if (mode != Mode::micOnly) {
    systemSource = TrackSource{corrected.system.value_or(reading.system), system.timeline().startSeconds};
  }
  InterleaveOutcome outcome;
  Result<int64_t> written = interleaveTracks(micSource, systemSource, outputURL, outputSettings(writeWav), outcome);
  if (!written) finish("ERROR finalize_failed " + written.error().description, 2);
  // A track that failed to read or to finish may be missing from the output:
  // keep every temporary track, as --keep-temps would, so a recovery can try again.
  if (outcome.readFailed() || !closed) {
    diag("keeping the temporary tracks after a read failure");
  } else if (!keepTemps) {
    removeTemps(paths);
  }
  bool interrupted;
  {
    std::lock_guard lock(pauseLock);
    interrupted = streamInterrupted;
  }
  if (interrupted) emit("WARN screen_interrupted");
  finish("STATUS stopped " + outputURL, 0);
}

void Recorder::finalizeFromTemps() {
  orvane::finalizeFromTemps(outputURL, mode != Mode::systemOnly, mode != Mode::micOnly);
}

}  // namespace orvane
