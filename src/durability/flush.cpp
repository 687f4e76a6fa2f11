// Durability while recording: both temporary tracks are forced to storage
// every 45 s, so a crash loses at most the last stretch; and a run of failed
// appends is reported to the host once.
#include <fcntl.h>
#include <unistd.h>

#include "cli/output.h"
#include "recorder/recorder.h"

namespace orvane {

namespace {

constexpr double kFlushPeriodSeconds = 45.0;
constexpr double kFlushLeewaySeconds = 5.0;
constexpr int64_t kFailureThreshold = 10;

// Writer queue: the file object is left alone; the kernel's copy is forced out.
void flushTrack(const std::shared_ptr<AudioFile>& file, const std::string& path) {
  if (!file) return;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

// Start task. Ticks come from the main loop's timer and run on fsyncQueue.
void Recorder::armFsyncTimer() {
  const MainLoop::TimerId timer = mainLoop.addRepeating(kFlushPeriodSeconds, kFlushLeewaySeconds, [this] {
    fsyncQueue.async([this] {
      micWriterQueue.async([this] { flushTrack(micFile, micTempURL); });
      sysWriterQueue.async([this] { flushTrack(systemFile, systemTempURL); });
    });
  });
  if (const MainLoop::TimerId previous = fsyncTimer.exchange(timer)) mainLoop.cancel(previous);
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
