// Durability while recording: both temporary tracks are forced to storage
// every 45 s, so a crash loses at most the last stretch; and a run of failed
// appends is reported to the host once.
#include "events/output.h"
#include "recorder/recorder.h"

namespace orvane {

namespace {

constexpr double kFlushPeriodSeconds = 45.0;
constexpr double kFlushLeewaySeconds = 5.0;
constexpr int64_t kFailureThreshold = 10;

// Writer queue, so that it follows every append queued before it. A failed
// flush is not reported: a failing disk shows in the appends.
void flushTrack(const std::shared_ptr<AudioFile>& file) {
  if (file) file->sync();
}

}  // namespace

// Start task. Ticks come from the main loop's timer and run on fsyncQueue.
void Recorder::armFsyncTimer() {
  const MainLoop::TimerId timer =
      mainLoop.addRepeating(kFlushPeriodSeconds, kFlushLeewaySeconds, [this] { flushTemporaryTracks(); });
  if (const MainLoop::TimerId previous = fsyncTimer.exchange(timer)) mainLoop.cancel(previous);
}

// A tick of the flush timer.
void Recorder::flushTemporaryTracks() {
  fsyncQueue.async([this] {
    micWriterQueue.async([this] { flushTrack(micFile); });
    sysWriterQueue.async([this] { flushTrack(systemFile); });
  });
}

// Writer queues, after every failed append.
void Recorder::reportDiskWriteFailureIfNeeded(const std::string& track, int64_t count) {
  if (count < kFailureThreshold) return;
  {
    std::lock_guard lock(diskWriteFailureLock);
    if (diskWriteFailureReported) return;
    diskWriteFailureReported = true;
  }
  diag(track + " write failed " + std::to_string(count) + " times; reporting disk_write_failed");
  emit("ERROR disk_write_failed");
}

}  // namespace orvane
