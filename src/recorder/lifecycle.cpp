// The run's state: the start sequence, the single stop, and the stop
// completion that closes the tracks, finalizes and ends the process with its
// terminal line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
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
  if (status == kMicStatusUnknown) {
    failStartOrShortage("engine_start", "the sound server is not reachable");
    return true;  // a stop came first: it ends the run
  }
  if (status != static_cast<int>(MicAuthorization::notDetermined)) return false;
  // The control thread waits here, not the main loop.
  auto answer = std::make_shared<std::promise<bool>>();
  auto granted = answer->get_future();
  permissions.requestMicrophone([answer](bool value) { answer->set_value(value); });
  return granted.get();
}

void Recorder::start() {
  emit("STATUS starting");
  mainLoop.postAfter(kStartTimeoutSeconds, [this] {
    if (state() != State::starting) return;
    failStartOrShortage("start_failed",
                        "the start did not finish in " + shortestDecimal(kStartTimeoutSeconds) + " s");
  });
  post(Command::start);
}

bool Recorder::takeEnd() {
  std::lock_guard lock(stateLock_);
  if (ended()) return false;
  state_ = State::stopped;
  return true;
}

void Recorder::failStart(const std::string& code, const std::string& message) {
  if (takeEnd()) fail(code, message);
}

// A start that failed for want of memory or descriptors here says so: the
// error it met names only what it could not do.
void Recorder::failStartOrShortage(const std::string& code, const std::string& message) {
  if (std::optional<std::string> shortage = localResourceShortage()) return failStart("start_failed", *shortage);
  failStart(code, message);
}

void Recorder::settle() { state_ = clock.paused() ? State::paused : State::recording; }

// Control thread. Every step that waits is bounded; a stop that came
// meanwhile is seen after each, and then nothing more is started: the stop's
// own command, next in line, stops what was.
void Recorder::runStart() {
  const auto step = [this](auto&& run) {
    try {
      run();
    } catch (const CaptureError& error) {
      failStartOrShortage(error.code, error.message);
    } catch (const Error& error) {
      failStartOrShortage("start_failed", error.description);
    }
    return !ended();
  };
  // Nothing is created for a path that "STATUS stopped" could not pass on whole.
  if (std::optional<std::string> why = whyNotPrintable(outputURL)) {
    return failStart("start_failed", "the output path " + *why);
  }
  // Short of address space, the sound server's client fails in ways that
  // read as a server that is not there, or never answers.
  if (std::optional<std::string> shortage = addressSpaceShortage()) return failStart("start_failed", *shortage);
  if (Status tooLong = checkNameLengths(paths, speechTimeline)) return failStart("start_failed", tooLong->description);
  // Both, whatever the mode: a recovery of this output reads both.
  for (const std::string* track : {&paths.mic, &paths.system}) {
    if (Status taken = checkTrackPathFree(*track, outputURL)) return failStart("start_failed", taken->description);
  }
  // Another recording's file under one of our names would be replaced or
  // removed at our stop, or its own stop would remove or replace ours.
  if (Status owned = checkNoRunningRecordingOwns(paths, speechTimeline)) {
    return failStart("start_failed", owned->description);
  }
  if (Status occupied = checkNothingInTheWay(paths, speechTimeline)) {
    return failStart("start_failed", occupied->description);
  }
  // The host hears the recording from its first frame, so it listens before anything is captured.
  if (!liveAudioPath.empty()) {
    auto socket = StreamSocket::connect(liveAudioPath);
    if (!socket) {
      return failStart("start_failed", "cannot connect to the live audio socket " + socket.error().description);
    }
    live_ = std::make_unique<LiveAudio>(std::move(*socket), liveRate);
    writer.setRoundSeconds(kLiveWriterRoundSeconds);
  }
  if (mode != Mode::systemOnly && !ensureMicrophoneAccess()) {
    return failStart("mic_permission", "microphone access not granted");
  }
  if (ended()) return;
  // An output the file layer cannot write would only fail at the stop, after
  // the whole recording: refuse it before anything is captured.
  if (Status unsupported = checkCanCreate(outputURL, outputSettings(writeWav))) {
    return failStart("start_failed", unsupported->description);
  }
  if (!step([this] { configureSystemAudioIfNeeded(); })) return;
  if (!step([this] {
        configureCapture();
        startEngineIfNeeded();
      })) {
    return;
  }
  emit("STATUS recording " + std::to_string(wallClockMillis()));
  {
    std::lock_guard lock(stateLock_);  // a LEVEL line comes after that one
    if (ended()) return;
    settle();
  }
  armTimers();
  startFinisher();
  startStreamCaptureIfNeeded();
}

void Recorder::startFinisher() {
  std::lock_guard lock(tempFilesLock_);  // a stop that began finds no finisher made after its closes
  if (ended()) return;
  const bool withMic = mode != Mode::systemOnly, withSystem = mode != Mode::micOnly;
  if ((withMic && !mic.isOpen()) || (withSystem && !system.isOpen())) return;
  std::optional<std::string> micPath, systemPath;
  if (withMic) micPath = mic.readPath();
  if (withSystem) systemPath = system.readPath();
  const std::string own = inHeldFolder(paths.finishing);
  finisher_ = std::make_unique<Finisher>(outputURL, own, outputSettings(writeWav), micPath, systemPath,
                                         [this] {
                                           return Finisher::Timelines{mic.timelineSoFar(), system.timelineSoFar()};
                                         },
                                         Finisher::CreateOutput{}, voiceProcessing, speechTimeline);
  if (live_) finisher_->setLive(std::move(live_));
  finisher_->start();
  // Its thread waits for the rates to be measured: until then there is none.
  // The stop holds the main loop to the end: no poll comes after it.
  Finisher* started = finisher_.get();
  mainLoop.addRepeating(kFinisherPollSeconds, kFinisherPollSeconds / 2, [started] { started->poll(); });
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

// A stop that came meanwhile may already have closed and cleaned up the
// temporary tracks: then nothing is opened, so that none is left behind.
// The lock is taken before the file is truncated: a track that another
// recording holds (the same --out twice) is left as it is.
bool Recorder::openTrack(Track& track) {
  std::lock_guard lock(tempFilesLock_);
  if (ended()) return false;
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
    if (mode == Mode::micOnly) return;
  }
  openTrack(system);
}

void Recorder::startEngineIfNeeded() {
  if (mode == Mode::systemOnly) return;
  engine->setChangeHandler([this] { handleEngineConfigurationChange(); });
  if (!startEngineWithRetry(*engine, [this] { return ended(); })) return;
  mainLoop.post([this] { micWatchdog.arm(); });
}

void Recorder::stop() { stopRun(false); }

// The control thread stops the inputs after the command it is running (a
// start or a restart, bounded); a sound server that never answers holds it,
// never this thread past kStopInputsWaitSeconds. Once stopping, the main loop
// handles nothing more: what it would (pause, levels, reports, restarts) has
// no run left to act on.
void Recorder::stopRun(bool streamInterrupted) {
  {
    std::lock_guard lock(stateLock_);
    if (ended()) return;
    state_ = State::stopping;
  }
  stopSeconds_ = HostClock::nowSeconds();
  streamInterrupted_ = streamInterrupted;
  post(Command::stopInputs);
  bool inputsStopped;
  {
    std::unique_lock lock(stateLock_);
    inputsStopped = stateChanged_.wait_for(lock, std::chrono::duration<double>(kStopInputsWaitSeconds),
                                           [this] { return state_ == State::stopped; });
  }
  // That was its last command: it ends now, and the process leaves no thread behind unjoined.
  if (inputsStopped && control_.joinable()) control_.join();
  stopCompletion();
}

// The stop's command: the inputs stop in the order the start started them.
void Recorder::stopInputs() {
  const double until = clock.paused() ? 0 : stopSeconds_;
  // The system audio stops delivering at the moment too while the microphone waits for its tail.
  if (stream) stream->cutAt(until);
  if (mode != Mode::systemOnly) {
    engine->stop(until);
    engine->setBlockHandler(nullptr);
  }
  if (stream) stream->stop(until);
}

bool Recorder::closeTracks() {
  std::lock_guard lock(tempFilesLock_);  // a start still under way opens no track after this
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
  const std::optional<double> stopped = clock.activeSeconds(stopSeconds_);
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
  if (mode != Mode::systemOnly) micSource = TrackSource{reading.mic, mic.timeline().headSeconds, mic.producedAudio()};
  if (mode != Mode::micOnly) {
    systemSource = TrackSource{reading.system, system.timeline().headSeconds, system.producedAudio()};
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
  if (streamInterrupted_) emit("WARN screen_interrupted");
  finish("STATUS stopped " + outputURL, 0);
}

// The drift corrections are stated and recorded, and the finisher writes
// what it did not make while recording at the final ratios, or all of it
// from the ended tracks when there is no finisher (a start the stop overtook).
Result<int64_t> Recorder::finishOutput(const std::optional<TrackSource>& micSource,
                                       const std::optional<TrackSource>& systemSource, const TempPaths& reading,
                                       InterleaveOutcome& outcome) {
  const DriftCorrection ratios = applyDriftCompensation(reading, mic.timeline(), system.timeline());
  if (!finisher_) {
    return finishEndedTracks(micSource, systemSource, ratios.micRatio, ratios.systemRatio, outputURL,
                             outputSettings(writeWav), outcome, true, voiceProcessing, speechTimeline);
  }
  finisher_->ready(micSource, systemSource, ratios.micRatio, ratios.systemRatio);
  return finisher_->finish(outcome);
}

void Recorder::finalizeFromTemps() {
  orvane::finalizeFromTemps(outputURL, mode != Mode::systemOnly, mode != Mode::micOnly, voiceProcessing,
                            speechTimeline);
}

}  // namespace orvane
