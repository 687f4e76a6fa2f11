// The write path shared by both tracks: an 8-slot ring of track-format
// buffers between the producer thread and the writer queue. The producer never
// waits for the disk: when the oldest slot is still being written the new
// buffer is dropped and the host is warned once per episode.
#include "recorder/track_writer.h"

#include <cmath>
#include <cstring>

#include "events/output.h"

namespace orvane {

namespace {

constexpr uint32_t kSlotHeadroomFrames = 64;

// A buffer is kept or dropped whole at the pause, so the first one after a
// resume can begin inside the pause; its head is dropped to keep the track in
// step with active time. More than a second ahead is not a pause's doing (a
// time stamp that jumped): nothing is dropped for it.
constexpr int64_t kMaxSkipFrames = 48000;

void skipLeadingFrames(PcmBuffer& buffer, uint32_t frames) {
  float* samples = buffer.floatChannelData(0);
  const uint32_t kept = buffer.frameLength() - frames;
  std::memmove(samples, samples + frames, kept * sizeof(float));
  buffer.setFrameLength(kept);
}

void releaseSlot(Recorder::TrackRefs& track, int slot) {
  std::lock_guard lock(track.slotLock);
  track.slotInFlight[static_cast<size_t>(slot)] = false;
}

// Allocates once, on the first buffer: capacity fixed for the run.
void buildPool(Recorder::TrackRefs& track, const PcmBuffer& first, const AudioFormat& monoFormat) {
  const double frames = monoFormat.sampleRate / first.format().sampleRate * first.frameCapacity();
  const auto capacity = static_cast<uint32_t>(frames) + kSlotHeadroomFrames;
  for (int i = 0; i < Recorder::kSlotCount; ++i) track.pool.push_back(PcmBuffer::create(monoFormat, capacity));
}

}  // namespace

Recorder::TrackRefs Recorder::micTrack() {
  return TrackRefs{true, "mic", "WARN write_backpressure mic", micPool, micPoolIdx, micSlotLock,
                   micSlotInFlight, micBackpressureWarned, micConverter, micConverterInputFormat,
                   micWriterQueue, micStartSeconds, micFramesWritten, micStartFrames, micLastFrames,
                   micLastHostSeconds, micRealignApplied, micWriteFailureCount};
}

Recorder::TrackRefs Recorder::sysTrack() {
  return TrackRefs{false, "system", "WARN write_backpressure system", sysPool, sysPoolIdx, sysSlotLock,
                   sysSlotInFlight, sysBackpressureWarned, systemConverter, systemConverterInputFormat,
                   sysWriterQueue, sysStartSeconds, sysFramesWritten, sysStartFrames, sysLastFrames,
                   sysLastHostSeconds, sysRealignApplied, sysWriteFailureCount};
}

void Recorder::submitToTrack(TrackRefs track, const PcmBuffer& buffer, std::shared_ptr<AudioFile> file,
                             std::optional<double> activeSeconds) {
  if (track.pool.empty()) buildPool(track, buffer, monoFormat);
  const int slot = static_cast<int>(track.poolIdx);
  {
    std::unique_lock lock(track.slotLock);
    if (track.slotInFlight[static_cast<size_t>(slot)]) {
      const bool warnedBefore = std::exchange(track.backpressureWarned, true);
      lock.unlock();
      if (!warnedBefore) emit(track.backpressureLine);
      return;
    }
    track.slotInFlight[static_cast<size_t>(slot)] = true;
    track.backpressureWarned = false;
  }
  track.poolIdx = (track.poolIdx + 1) % kSlotCount;
  PcmBuffer* destination = track.pool[static_cast<size_t>(slot)].get();
  // What the converter still holds comes out first: this output begins that
  // much before the buffer's own stamp. Left out, a 50 kHz device's track
  // would lag its stamps by the converter's delay and measure some 3 ppm slow
  // over two minutes.
  const double held = track.converter && track.converterInputFormat == buffer.format()
                          ? track.converter->pendingOutputFrames()
                          : 0.0;
  if (!destination || !fillMonoBuffer(buffer, *destination, track.converter, track.converterInputFormat)) {
    releaseSlot(track, slot);
    return;
  }
  if (activeSeconds) *activeSeconds -= held / monoFormat.sampleRate;
  const bool isMic = track.isMic;
  const bool queued = track.writerQueue.tryAsync([this, slot, isMic, file = std::move(file), activeSeconds] {
    appendTrackSlot(isMic ? micTrack() : sysTrack(), slot, *file, activeSeconds);
  });
  if (!queued) releaseSlot(track, slot);
}

void Recorder::appendTrackSlot(TrackRefs track, int slot, AudioFile& file, std::optional<double> activeSeconds) {
  PcmBuffer& buffer = *track.pool[static_cast<size_t>(slot)];
  if (activeSeconds) {
    int64_t generation;
    {
      std::lock_guard lock(pauseLock);
      generation = realignGeneration;
    }
    if (generation != track.realignApplied) {
      const int64_t early =
          padTrackForResume(file, *activeSeconds, track.lastHostSeconds, track.lastFrames, track.framesWritten);
      if (early >= buffer.frameLength() && early <= kMaxSkipFrames) {
        releaseSlot(track, slot);  // captured while paused, all of it: the next buffer re-aligns
        return;
      }
      track.realignApplied = generation;
      if (early > 0 && early <= kMaxSkipFrames) {
        skipLeadingFrames(buffer, static_cast<uint32_t>(early));
        *activeSeconds += static_cast<double>(early) / monoFormat.sampleRate;
        diag("resume re-align: skipped " + std::to_string(early) + " frames captured while paused");
      }
    }
  }
  if (Status error = file.write(buffer)) {
    ++track.writeFailureCount;
    diag(std::string(track.name) + " write error: domain=" + error->domain + " code=" + std::to_string(error->code));
    reportDiskWriteFailureIfNeeded(track.name, track.writeFailureCount);
  } else {
    const int64_t position = track.framesWritten.load(std::memory_order_relaxed);
    if (activeSeconds) {
      if (!track.startSeconds) {
        track.startSeconds = activeSeconds;
        track.startFrames = position;
      }
      if (!track.lastHostSeconds || !(*track.lastHostSeconds > *activeSeconds)) {
        track.lastHostSeconds = activeSeconds;
        track.lastFrames = position;
      }
    }
    track.framesWritten.store(position + buffer.frameLength(), std::memory_order_relaxed);
    track.writeFailureCount = 0;
    producedAudio = true;
  }
  releaseSlot(track, slot);
}

}  // namespace orvane
