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

// The stop holds the main loop to the end: no tick comes after it.
void Recorder::armTimers() {
  mainLoop.addRepeating(kReportSeconds, kReportLeewaySeconds, [this] { report(); });
}

void Recorder::report() {
  reportDrops(mic, micDropsReported_);
  reportDrops(system, systemDropsReported_);
}

// A level taken while paused is dropped: a paused run reports nothing, and
// the tap may still deliver buffers stamped before the pause. Levels are
// reported after "STATUS recording", until the stop.
void Recorder::reportLevel() {
  const std::optional<float> level = micLevel.takeLevel();
  if (!level || !recording() || clock.paused()) return;
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
