// Where captured audio enters the recorder: both inputs' block handlers, and
// the inputs' restarts after a change (a device switched, a stream moved or
// lost, a sound server restarted).
#include <utility>

#include "events/output.h"
#include "platform/runtime/host_clock.h"
#include "recorder/recorder.h"

namespace orvane {

namespace {
const char* boolWord(bool value) { return value ? "true" : "false"; }

// A block stamped before the stop is still wanted while the inputs read their tail.
std::optional<ActiveTime> activeTime(const ActiveClock& clock, const AudioTime& when) {
  const uint64_t hostTime = when.hostTimeValid ? when.hostTime : HostClock::now();
  return clock.at(HostClock::secondsForHostTime(hostTime));
}
}  // namespace

void Recorder::writeMicAudio(const PcmBuffer& buffer, const AudioTime& when) {
  if (!mic.isOpen()) return;
  const std::optional<ActiveTime> active = activeTime(clock, when);
  if (!active) return;
  // The main loop wakes for a measurement, not to look for one.
  if (!ended() && micLevel.measure(buffer, HostClock::secondsForHostTime(when.hostTime))) {
    mainLoop.fire(levelMeasured_);
  }
  mic.submit(buffer, active, when.startsAnew);
}

void Recorder::writeSystemAudio(const PcmBuffer& buffer, const AudioTime& when) {
  if (!system.isOpen()) return;
  const std::optional<ActiveTime> active = activeTime(clock, when);
  if (!active) return;
  system.submit(buffer, active, when.startsAnew);
}

// The sound server's sinks take the place of a screen-recording
// permission: no sink with a monitor, nothing to record.
void Recorder::configureSystemAudioIfNeeded() {
  if (mode == Mode::micOnly) return;
  const CaptureError noPermission{"screen_permission", "screen recording access not granted"};
  Permissions& permissions = backend.permissions();
  if (!permissions.preflightSystemAudio() && !permissions.requestSystemAudio()) throw noPermission;
  auto sinks = backend.monitoredSinks();
  if (!sinks) throw noPermission;
  if (sinks->empty()) throw CaptureError{"no_display", "no display available for capture"};
  stream = systemAudioFrom.empty() ? backend.makeSystemAudio() : backend.makeApplicationAudio(systemAudioFrom);
  if (!stream) throw CaptureError{"start_failed", "this sound server cannot record single applications"};
  stream->setBlockHandler([this](const PcmBuffer& block, const AudioTime& when) { writeSystemAudio(block, when); });
  stream->setChangeHandler([this] { handleSystemAudioChange(); });
  stream->setRoomCheck([this](uint32_t frames) { return system.hasRoomFor(frames); });
}

void Recorder::startStreamCaptureIfNeeded() {
  if (!stream || ended()) return;
  system.prepare(stream->format());
  const Status error = stream->start();
  // Nothing was recorded worth keeping: the tracks were opened moments ago.
  // A stop that came meanwhile stops the stream and ends the run itself.
  if (error && takeEnd()) {
    removeOwnTemps();
    fail("scstream_start", error->description);
  }
}

// System audio gone for good ends the whole recording, which is then
// finalized as after "stop".
void Recorder::streamDidStopWithError(const Error& error) {
  diag("scstream stopped: " + error.description);
  mainLoop.post([this] { stopRun(true); });
}

// The inputs' threads only fire a trigger (no allocation, no lock); the main
// loop requests the rate-limited restart.
void Recorder::handleEngineConfigurationChange() { mainLoop.fire(micChanged_); }

void Recorder::handleSystemAudioChange() { mainLoop.fire(systemChanged_); }

// Changes while starting are the start's own: it opens each input as the
// server has it then.
void Recorder::requestEngineRestart() {
  if (recording()) restarts.request();
}

void Recorder::requestSystemAudioRestart() {
  if (recording()) systemRestarts.request();
}

bool Recorder::beginRestart() {
  std::lock_guard lock(stateLock_);
  if (ended()) return false;
  state_ = State::restarting;
  return true;
}

void Recorder::endRestart() {
  std::lock_guard lock(stateLock_);
  if (!ended()) settle();
}

namespace {
using Outcome = RestartPolicy::Outcome;

Outcome outcomeOf(const Status& error, const AudioInput& input) {
  return !error ? Outcome::opened : input.isRunning() ? Outcome::keptOld : Outcome::failed;
}

// Says why a restart failed. One that could not open the new device while the
// input records on the one before is tried again (RestartPolicy): that is said
// once, and a retry that fails alike says nothing. Returns whether the restart
// was such a retry, which changed nothing.
bool sayFailure(bool& onOldDevice, Outcome outcome, const Status& error, const std::string& says,
                const std::string& input) {
  const bool before = std::exchange(onOldDevice, outcome == Outcome::keptOld);
  if (before && onOldDevice) return true;
  if (!error) return false;
  diag(says + error->description);
  if (onOldDevice) diag(input + " records on from the device before; trying again until the new one opens");
  return false;
}
}  // namespace

// A restart skipped because the run is over counts as done: nothing failed.
Outcome Recorder::restartEngine() {
  if (!beginRestart()) return Outcome::opened;
  // A retry says nothing before it knows whether it changed anything.
  if (!micOnOldDevice_) {
    diag(std::string("engine configuration change (running=") + boolWord(engine->isRunning()) + "); restarting");
  }
  mic.prepare(engine->format());  // a new device's format: its converter is not built on the capture thread
  const Status error = engine->start();
  const Outcome outcome = outcomeOf(error, *engine);
  if (!error) diag(std::string("engine restarted, running=") + boolWord(engine->isRunning()));
  const bool changedNothing = sayFailure(micOnOldDevice_, outcome, error, "engine restart failed: ", "microphone");
  endRestart();
  if (!changedNothing) mainLoop.post([this] { micWatchdog.arm(); });
  return outcome;
}

// A stream that cannot be opened again (a server away, no sink with a
// monitor) gets kSystemAudioAwaySeconds to come back: a server restart, or the
// user plugging another output in, loses only that stretch, which the track
// fills with silence. One that still records is not away.
Outcome Recorder::restartSystemAudio() {
  if (!beginRestart()) return Outcome::opened;
  system.prepare(stream->format());
  const Status error = stream->start();
  endRestart();
  const Outcome outcome = outcomeOf(error, *stream);
  if (outcome != Outcome::failed) systemAwayUntil_.reset();
  sayFailure(systemOnOldDevice_, outcome, error, "system audio could not be opened again: ", "system audio");
  if (outcome != Outcome::failed) return outcome;
  systemAwayError_ = *error;
  if (systemAwayUntil_) return outcome;
  systemAwayUntil_ = HostClock::monotonicNow() + HostClock::hostTimeForSeconds(kSystemAudioAwaySeconds);
  mainLoop.postAfter(kSystemAudioAwaySeconds, [this] { post(Command::checkSystemAway); });
  return outcome;
}

// The deadline of an away stretch that ended is gone, and that of one that
// began since is later than this check.
void Recorder::checkSystemAway() {
  if (systemAwayUntil_ && stream->isRunning()) systemAwayUntil_.reset();
  if (!systemAwayUntil_ || HostClock::monotonicNow() < *systemAwayUntil_) return;
  systemAwayUntil_.reset();
  streamDidStopWithError(systemAwayError_);
}

}  // namespace orvane
