// The main loop's timers while recording: the reports that the capture side
// only counts: back-pressure warnings each report tick, and LEVEL lines, each
// when the capture side says a level was measured. (The writer flushes the
// tracks by itself: track/track_writer.cpp.)
#include <cstdio>

#include "events/output.h"
#include "recorder/recorder.h"

namespace orvane {

namespace {
constexpr double kReportSeconds = 0.5;
// The LEVEL lines wake the loop several times a second: a report tick that
// may wait this long rides on one of those wake-ups instead of its own.
constexpr double kReportLeewaySeconds = 0.2;
}  // namespace

// Start task.
void Recorder::armTimers() {
  const MainLoop::TimerId reports = mainLoop.addRepeating(kReportSeconds, kReportLeewaySeconds, [this] { report(); });
  if (const MainLoop::TimerId previous = reportTimer.exchange(reports)) mainLoop.cancel(previous);
  // A stop that came while the timers were armed cancelled nothing.
  if (finished) cancelTimers();
}

void Recorder::cancelTimers() {
  if (const MainLoop::TimerId timer = reportTimer.exchange(0)) mainLoop.cancel(timer);
  if (const MainLoop::TimerId timer = finisherTimer.exchange(0)) mainLoop.cancel(timer);
}

void Recorder::report() {
  if (finished) return;
  reportDrops(mic, micDropsReported_);
  reportDrops(system, systemDropsReported_);
}

// A level taken while paused is dropped: a paused run reports nothing, and
// the tap may still deliver buffers stamped before the pause. Levels are
// reported while the report timer is armed: after "STATUS recording", until the stop.
void Recorder::reportLevel() {
  const std::optional<float> level = micLevel.takeLevel();
  if (finished || !level || clock.paused() || reportTimer.load() == 0) return;
  char line[48];
  std::snprintf(line, sizeof line, "LEVEL %.3f", static_cast<double>(*level));
  emit(line);
}

// One warning per back-pressure episode, the host's protocol: the episode
// ends when a buffer finds its slot free again.
void Recorder::reportDrops(const Track& track, int64_t& reported) {
  const int64_t episodes = track.dropEpisodes();
  if (episodes == reported) return;
  reported = episodes;
  emit(std::string("WARN write_backpressure ") + track.name());
  const int64_t dropped = track.framesDropped();
  const int64_t onDisk = track.framesDroppedOnDisk();
  const std::string why = onDisk == dropped ? "the disk held a write meanwhile"
                          : onDisk == 0     ? "no disk write was under way (a burst larger than the ring)"
                                            : std::to_string(onDisk) + " of them while the disk held a write";
  diag(std::string(track.name()) + " dropped " + std::to_string(dropped) + " frames so far, its ring full: " + why);
}

}  // namespace orvane
