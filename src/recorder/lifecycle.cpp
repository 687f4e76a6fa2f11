// The start sequence, the single stop, and the stop completion that closes
// the tracks, finalizes and ends the process with its terminal line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <semaphore>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "events/output.h"
#include "finalize/drift.h"
#include "finalize/finisher.h"
#include "finalize/interleave.h"
#include "finalize/recovery.h"
#include "mic/engine_start.h"
#include "platform/audio_file.h"
#include "platform/files/private_file.h"
#include "platform/runtime/host_clock.h"
#include "platform/runtime/resource_limits.h"
#include "platform/runtime/stream_socket.h"
#include "recorder/recorder.h"

namespace orvane {

namespace {

// Every wait of a start is bounded well below this; passing it means a wait
// that nothing bounds (a sound-server thread that never ran, say).
constexpr double kStartTimeoutSeconds = 20.0;
// How often the main loop looks whether the finisher can begin, and whether
// its file must give the disk up to the tracks (its reserve holds over a
// minute of them, this loop's look comes within a second).
constexpr double kFinisherPollSeconds = 0.5;
// The track writer's round while a host hears the recording live: a frame
// waits for the writer at most this long before the live audio can read it.
constexpr double kLiveWriterRoundSeconds = 0.1;

// A start that failed for want of memory or descriptors here says so: the
// error it met names only what it could not do.
[[noreturn]] void failStart(const std::string& code, const std::string& message) {
  if (std::optional<std::string> shortage = localResourceShortage()) fail("start_failed", *shortage);
  fail(code, message);
}

template <class Step>
void runStartStep(Step&& step) {
  try {
    step();
  } catch (const CaptureError& error) {
    failStart(error.code, error.message);
  } catch (const Error& error) {
    failStart("start_failed", error.description);
  }
}

Error trackInUse(const std::string& path) {
  return Error{"posix", EWOULDBLOCK, "the temporary track " + path + " is in use by a running recording"};
}

// The start truncates the file at a temporary track's path and the stop
// removes it: only nothing, an empty file or a track without audio (left by
// a start that failed) may be there. A track with audio is a crashed run's;
// a FIFO, a link or a device is in the way like any file that is no track.
Status checkTrackPathFree(const std::string& path, const std::string& outputPath) {
  const Error inTheWay{"posix", EEXIST, path + " is in the way of a temporary track and is none; move it away"};
  struct stat info{};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  if (!S_ISREG(info.st_mode)) return inTheWay;
  if (info.st_size == 0) return std::nullopt;
  Result<int> taken = openTrackForRecovery(path);
  if (!taken) return taken.error().code == EWOULDBLOCK ? trackInUse(path) : taken.error();
  int64_t frames = -1;
  if (auto track = AudioFile::openForReading(descriptorPath(*taken))) frames = (*track)->length();
  ::close(*taken);
  if (frames == 0) return std::nullopt;
  if (frames < 0) return inTheWay;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(frames) / Track::format().sampleRate);
  return Error{"posix", EEXIST, "the temporary track " + path + " holds " + seconds +
                                    " s of an earlier recording; recover it with --finalize-temps --out " +
                                    outputPath + " or move it away"};
}

}  // namespace

bool Recorder::ensureMicrophoneAccess() {
  Permissions& permissions = backend.permissions();
  const int status = permissions.microphoneStatus();
  if (status == static_cast<int>(MicAuthorization::authorized)) return true;
  // Nobody to ask is no refusal: the truth is that there is nothing to record from.
  if (status == kMicStatusUnknown) failStart("engine_start", "the sound server is not reachable");
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
  // Nothing is created for a path that "STATUS stopped" could not pass on whole.
  if (std::optional<std::string> why = whyNotPrintable(outputURL)) fail("start_failed", "the output path " + *why);
  armStartTimeout();
  // Short of address space, the sound server's client fails in ways that
  // read as a server that is not there, or never answers.
  if (std::optional<std::string> shortage = addressSpaceShortage()) fail("start_failed", *shortage);
  if (Status tooLong = checkNameLengths(paths)) fail("start_failed", tooLong->description);
  // Both, whatever the mode: a recovery of this output reads both.
  for (const std::string* track : {&paths.mic, &paths.system}) {
    if (Status taken = checkTrackPathFree(*track, outputURL)) fail("start_failed", taken->description);
  }
  // Another recording's file under one of our names would be replaced or
  // removed at our stop, or its own stop would remove or replace ours.
  if (Status owned = checkNoRunningRecordingOwns(paths)) fail("start_failed", owned->description);
  if (Status occupied = checkNothingInTheWay(paths)) fail("start_failed", occupied->description);
  // The host hears the recording from its first frame, so it listens before anything is captured.
  if (!liveAudioPath.empty()) {
    auto socket = StreamSocket::connect(liveAudioPath);
    if (!socket) fail("start_failed", "cannot connect to the live audio socket " + socket.error().description);
    live = std::make_unique<LiveAudio>(std::move(*socket), liveRate);
    writer.setRoundSeconds(kLiveWriterRoundSeconds);
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
  startedRecording = true;
  emit("STATUS recording " + std::to_string(wallClockMillis()));
  armTimers();
  startFinisher();
}

void Recorder::startFinisher() {
  std::lock_guard lock(tempFilesLock);  // a stop that began finds no finisher made after its closes
  if (stopRequested) return;
  const bool withMic = mode != Mode::systemOnly, withSystem = mode != Mode::micOnly;
  if ((withMic && !mic.isOpen()) || (withSystem && !system.isOpen())) return;
  std::optional<std::string> micPath, systemPath;
  if (withMic) micPath = mic.readPath();
  if (withSystem) systemPath = system.readPath();
  const std::string own = inHeldFolder(paths.finishing);
  finisher = std::make_unique<Finisher>(outputURL, own, outputSettings(writeWav), micPath, systemPath,
                                        [this] {
                                          return Finisher::Timelines{mic.timelineSoFar(), system.timelineSoFar()};
                                        },
                                        Finisher::CreateOutput{}, voiceProcessing);
  if (live) finisher->setLive(std::move(live));
  finisher->start();
  // Its thread waits for the rates to be measured: until then there is none.
  Finisher* started = finisher.get();
  const MainLoop::TimerId poll = mainLoop.addRepeating(kFinisherPollSeconds, kFinisherPollSeconds / 2,
                                                       [started] { started->poll(); });
  if (const MainLoop::TimerId previous = finisherTimer.exchange(poll)) mainLoop.cancel(previous);
  if (finished) cancelTimers();
}

// The finisher's file is named through its folder, held open: a folder
// renamed while recording takes the file along, the finisher goes on in it,
// and the stop renames it to the output where the host named it.
std::string Recorder::inHeldFolder(const std::string& path) {
  if (outputFolder_ < 0) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    outputFolder_ = ::open(folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  if (outputFolder_ < 0) return path;
  return descriptorPath(outputFolder_) + "/" + std::filesystem::path(path).filename().string();
}

void Recorder::armStartTimeout() {
  mainLoop.postAfter(kStartTimeoutSeconds, [this] {
    if (startedRecording || finished) return;
    failStart("start_failed", "the start did not finish in " + shortestDecimal(kStartTimeoutSeconds) + " s");
  });
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
    throw locked.error().code == EWOULDBLOCK ? trackInUse(track.path()) : locked.error();
  }
  auto file = backend.createTrackFile(track.path(), linearPCM16Settings(Track::format().sampleRate, 1));
  if (!file || !track.open(file.value(), *locked)) {
    ::close(*locked);
    if (!existed) ::unlink(track.path().c_str());  // the lock's empty file, not a track
    if (!file) throw file.error();
    throw posixError(ENOMEM, "cannot allocate the " + std::string(track.name()) + " track");
  }
  (&track == &mic ? micCreated_ : systemCreated_) = true;
  return true;
}

// Start task.
void Recorder::configureCapture() {
  if (mode != Mode::systemOnly) {
    // Voice processing takes the system audio's echo out of the microphone
    // as the output is made, the microphone track itself staying as recorded.
    if (voiceProcessing && mode == Mode::micOnly) {
      diag("voice processing: no system audio is recorded with --mic-only, so there is no echo to take out; "
           "the microphone is written as recorded");
    }
    if (!openTrack(mic)) return;
    const AudioFormat tapFormat = engine->format();
    diag("mic tap format: " + shortestDecimal(tapFormat.sampleRate) + " Hz, " +
         std::to_string(tapFormat.channelCount) + " ch");
    mic.prepare(tapFormat);
    engine->setBlockHandler([this](const PcmBuffer& buffer, const AudioTime& when) { writeMicAudio(buffer, when); });
    engine->setRoomCheck([this](uint32_t frames) { return mic.hasRoomFor(frames); });
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
  // A stop that came while the engine started found it not running yet.
  if (finished) return engineQueue.async([this] { stopInputs(); });
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
  auto complete = [this, inputsStopped] {
    inputsStopped->try_acquire_for(std::chrono::duration<double>(kStopInputsWaitSeconds));
    stopCompletion();
  };
  try {
    std::thread(complete).detach();
  } catch (const std::system_error&) {
    complete();  // no thread to be had (a thread or memory limit): finished here rather than not at all
  }
}

// Each input is stopped once, by the stop or by a start that it overtook.
void Recorder::stopInputs() {
  const double until = clock.paused() ? 0 : stopSeconds.load();
  // The system audio stops delivering at the moment too while the microphone waits for its tail.
  if (streamConfigured && !streamStopped) stream->cutAt(until);
  if (engineStarted && !engineStopped.exchange(true)) engine->stop(until);
  if (micTapInstalled.exchange(false)) engine->setBlockHandler(nullptr);
  if (streamConfigured && !streamStopped.exchange(true)) stream->stop(until);
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
    sayTail(*track);
  }
  return closed;
}

// What a track holds from its first frame against the active time from then
// to the stop: a tail lost at the stop shows here.
void Recorder::sayTail(const Track& track) const {
  const TrackTimeline timeline = track.timeline();
  const std::optional<double> stopped = clock.activeSeconds(stopSeconds.load());
  if (!timeline.startSeconds || !stopped || !track.producedAudio()) return;
  char line[120];
  std::snprintf(line, sizeof line, "%s track holds %.4f s from its first frame; the stop came %.4f s after it",
                track.name(), static_cast<double>(track.framesWritten() - timeline.startFrames) / 48000.0,
                *stopped - *timeline.startSeconds);
  diag(line);
}

// The tracks this run opened go wherever their names went (a folder renamed
// while recording), never a file that took a name of theirs since; a track
// whose name was removed went by that name, written again at the stop.
void Recorder::removeOwnTemps() {
  for (auto [track, created] : {std::pair{&mic, micCreated_}, std::pair{&system, systemCreated_}}) {
    if (!created) continue;
    if (!removeHeldFile(track->readPath()) && !isTrackInUse(track->path())) ::unlink(track->path().c_str());
  }
}

void Recorder::stopCompletion() {
  const bool closed = closeTracks();
  if (!mic.producedAudio() && !system.producedAudio()) {
    removeOwnTemps();
    finish("ERROR stopped_early recording stopped before capture began", 2);
  }
  // The output goes where the host named it, also when its folder was
  // renamed or removed while recording: the folder is made again.
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(outputURL).parent_path(), ignored);
  // Read through the files the tracks wrote, whatever became of their names.
  TempPaths reading = paths;
  reading.mic = mic.readPath();
  reading.system = system.readPath();
  std::optional<TrackSource> micSource, systemSource;
  if (mode != Mode::systemOnly) micSource = TrackSource{reading.mic, mic.timeline().startSeconds, mic.producedAudio()};
  if (mode != Mode::micOnly) {
    systemSource = TrackSource{reading.system, system.timeline().startSeconds, system.producedAudio()};
  }
  InterleaveOutcome outcome;
  Result<int64_t> written = finishOutput(micSource, systemSource, reading, outcome);
  if (!written) finish("ERROR finalize_failed " + written.error().description, 2);
  // A track that failed to read or to finish may be missing from the output:
  // keep every temporary track, as --keep-temps would, so a recovery can try again.
  if (outcome.readFailed() || !closed) {
    diag("keeping the temporary tracks after a read failure");
  } else if (!keepTemps) {
    removeOwnTemps();
  }
  bool interrupted;
  {
    std::lock_guard lock(pauseLock);
    interrupted = streamInterrupted;
  }
  if (interrupted) emit("WARN screen_interrupted");
  finish("STATUS stopped " + outputURL, 0);
}

// The drift corrections are stated and recorded, and the finisher writes
// what it did not make while recording at the final ratios, or all of it
// from the ended tracks when there is no finisher (a start the stop overtook).
Result<int64_t> Recorder::finishOutput(const std::optional<TrackSource>& micSource,
                                       const std::optional<TrackSource>& systemSource, const TempPaths& reading,
                                       InterleaveOutcome& outcome) {
  const DriftCorrection ratios = applyDriftCompensation(reading, mic.timeline(), system.timeline());
  if (!finisher) {
    return finishEndedTracks(micSource, systemSource, ratios.micRatio, ratios.systemRatio, outputURL,
                             outputSettings(writeWav), outcome, true, voiceProcessing);
  }
  finisher->ready(micSource, systemSource, ratios.micRatio, ratios.systemRatio);
  return finisher->finish(outcome);
}

void Recorder::finalizeFromTemps() {
  orvane::finalizeFromTemps(outputURL, mode != Mode::systemOnly, mode != Mode::micOnly, voiceProcessing);
}

}  // namespace orvane
