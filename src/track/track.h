// Track: one temporary track end to end. Buffers of any format come in from a
// producer thread (the sound server's loop thread, which delivers both
// inputs) and are converted into the track format in a ring of preallocated
// slots, each with its block's metadata (how many slots it takes, its active
// time). The writer (track/track_writer.cpp, one thread for both tracks)
// appends them, keeping the track in step with active time (silence for input
// that never came, re-alignment after a resume) and the counters that the
// stop reads. The ring has one producer and one consumer, and slots are handed
// over and released in order, so two counters are all it shares. The producer
// never waits: when the ring is full the buffer is dropped whole and counted,
// and the main loop reports it. It rings the writer's doorbell when half the
// ring is in flight; else the writer comes by itself, every round.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/audio/audio_converter.h"
#include "platform/audio/audio_format.h"
#include "platform/audio/pcm_buffer.h"
#include "platform/audio_file.h"
#include "platform/runtime/doorbell.h"
#include "track/active_clock.h"
#include "track/timeline.h"

namespace orvane {

// One "ERROR disk_write_failed" a run, whichever track keeps failing first.
class WriteFailureReport {
 public:
  // The writer, after every failed append, with the failures in a row.
  void failed(const char* trackName, int64_t inARow);

 private:
  std::mutex lock_;
  bool reported_ = false;
};

class Track {
 public:
  static constexpr int kSlotCount = 8;
  // 0.34 s of track audio a slot: a 4096-frame read at 8 kHz fills two.
  static constexpr uint32_t kSlotFrames = 16384;
  // The largest block the input delivers (a burst's); the converter is
  // readied for it, so that no block makes it grow.
  static constexpr uint32_t kMaxBlockFrames = 16384;
  static constexpr int kWakeSlots = kSlotCount / 2;
  static const AudioFormat& format();

  // `name` is "mic" or "system"; `writerBell` wakes the writer. Touches no file.
  Track(const char* name, std::string path, WriteFailureReport& failures, Doorbell& writerBell);
  ~Track();
  Track(const Track&) = delete;
  Track& operator=(const Track&) = delete;

  // Start task: takes the created file and allocates the slot ring. False
  // when there is no memory for the ring (the file is not taken then).
  // `lockFd`, when given, is a descriptor of the same file holding its lock:
  // the track keeps it open for the rest of the process and is read through
  // it at the stop, so a track unlinked or replaced meanwhile is still read
  // whole.
  bool open(std::shared_ptr<AudioFile> file, int lockFd = -1);
  bool isOpen() const { return open_.load(); }
  // Any thread but the producer's, before the input (re)starts in `input`'s
  // format: builds the converter for it, which the first block of that
  // format takes up, so that no block builds one. The producer may be
  // running meanwhile, in the old format.
  void prepare(const AudioFormat& input);

  // Producer thread, one at a time. Real-time rules: no allocation (but a new
  // converter for a format nobody prepared), no lock, no I/O, no waiting.
  // At most kMaxBlockFrames a block. `at` is the active time of the
  // buffer's first frame; without it the buffer is written but takes no part
  // in the timeline. `startsAnew`: a block of an input opened again, while its
  // stamps settle (see Placement::atStamp).
  void submit(const PcmBuffer& buffer, std::optional<ActiveTime> at, bool startsAnew = false);

  // Producer thread: whether `inputFrames` of the input's format would find
  // their slots free now. An input that can leave a block with the sound
  // server asks first, and reads it when the writer has freed slots. True
  // once the track is closing.
  bool hasRoomFor(uint32_t inputFrames);

  // Any thread: back-pressure episodes begun and frames dropped so far.
  int64_t dropEpisodes() const { return dropEpisodes_.load(std::memory_order_relaxed); }
  int64_t framesDropped() const { return framesDropped_.load(std::memory_order_relaxed); }
  // Any thread: of those, the frames dropped while the writer was inside a
  // file write (the disk fell behind); the rest found the writer idle (a
  // burst larger than the ring).
  int64_t framesDroppedOnDisk() const { return framesDroppedOnDisk_.load(std::memory_order_relaxed); }
  // Any thread: frames of an input opened again that the track already held
  // the time of (the stream before delivered them): skipped, not lost.
  int64_t framesSkipped() const { return framesSkipped_.load(std::memory_order_relaxed); }
  // Any thread: frames appended so far, silence included. Behind what was
  // captured by what the writer has not come for yet (a round at most).
  int64_t framesWritten() const { return framesWritten_.load(std::memory_order_relaxed); }
  // Any thread: input frames (at the input's rate) given to submit() while
  // open, kept or dropped; up to date the moment submit() returns.
  int64_t framesReceived() const { return framesReceived_.load(std::memory_order_relaxed); }
  // The writer, or any thread but the producer's: appends every block handed
  // over so far.
  void drain();
  // The writer: drain(), then forces the file to storage.
  void sync();

  // Stop completion: turns the producer away (waiting out a submit or a room
  // check under way, which never waits itself), appends what was handed
  // over, writes what the converter still holds, and closes the file. The
  // counters are final afterwards.
  Status close();

  const char* name() const { return name_; }
  const std::string& path() const { return path_; }
  // Where the stop reads the track: the file it wrote, even if its name is gone.
  std::string readPath() const;
  // After close(): writes the track again under its name when somebody
  // removed it (or its folder) while recording, so the audio outlives the
  // process. Says so in a diagnostic; false when that failed.
  bool restoreName();
  TrackTimeline timeline() const { return timeline_; }  // after close()
  // Any thread: the timeline as far as the appends so far have taken it.
  TrackTimeline timelineSoFar() const;
  bool producedAudio() const { return framesWritten() > 0; }

 private:
  // How a block is fitted to the track's end: as the same input's next block
  // (only a gap past the threshold is filled; stamps wander), or, for an
  // input opened again while its stamps settle, exactly at its stamp: silence
  // before it, or its head dropped where the track already holds that time.
  // Left to the gap rule, a re-created stream that began a few ms early or
  // late kept the track that far off the other for the rest of the run.
  enum class Placement { next, atStamp };
  void submitOpen(const PcmBuffer& buffer, std::optional<ActiveTime> at, Placement placement);
  bool copyHeldFile(int64_t size) const;
  uint64_t inFlight() const;
  int slotsFor(uint32_t inputFrames) const;
  bool claimSlots(int count, int& first);
  Status finish();  // under writing_: the converter's tail and the file's close
  void countDrop(int64_t frames);
  bool ensureConverter(const AudioFormat& input);
  bool flushConverterIntoSlots();
  int fillSlots(const PcmBuffer& buffer, int first, int count);
  void handOff(int first, int count, std::optional<ActiveTime> at, Placement placement = Placement::next);

  // Under writing_. A block's generation is the clock's when it was
  // captured: it may be appended after a later resume.
  void appendHandedOver();
  void appendBlock(int first, int count, std::optional<ActiveTime> at, Placement placement);
  int64_t keepInStep(double activeSeconds, bool resumed, Placement placement);
  double framesPerSecond() const;
  int64_t skipHeld(int first, int count, int64_t frames, int& from);
  void moveStartBack(int64_t frames);
  bool writeSilence(int64_t frames);
  bool append(const PcmBuffer& buffer);
  void stamp(double activeSeconds, int64_t position);

  const char* name_;
  const std::string path_;
  WriteFailureReport& failures_;
  std::atomic<bool> open_{false};
  std::atomic<int> submitting_{0};  // producers inside submit(): close() waits them out
  int lockFd_ = -1;
  std::mutex writing_;  // the writer's, and the close's: appends, syncs, the close
  std::shared_ptr<AudioFile> file_;  // under writing_

  struct Converter {
    AudioFormat input;
    std::unique_ptr<AudioConverter> converter;
  };
  // Producer thread.
  std::unique_ptr<Converter> converter_;
  // Handed between prepare() and the producer: a converter built for the
  // next format, and the one it replaced, freed by the next prepare() or the
  // close (the producer never frees).
  std::atomic<Converter*> prepared_{nullptr};
  std::atomic<Converter*> retired_{nullptr};
  std::atomic<int64_t> unpreparedFormats_{0};  // converters the producer built itself; the close says so
  std::atomic<int64_t> framesUnconverted_{0};  // input no converter took; the close says so
  void retire(std::unique_ptr<Converter> converter);
  struct Slot {
    std::unique_ptr<PcmBuffer> audio;
    // A block's first slot: how many slots the block takes, its time and
    // how it is fitted to the track's end.
    int blockSlots = 0;
    std::optional<ActiveTime> at;
    Placement placement = Placement::next;
  };
  std::array<Slot, kSlotCount> slots_;
  bool dropping_ = false;
  // Slots handed over by the producer and released by the writer since the
  // start; the difference is in flight.
  std::atomic<uint64_t> handedOver_{0};
  std::atomic<uint64_t> released_{0};
  std::atomic<int64_t> dropEpisodes_{0};
  std::atomic<int64_t> framesDropped_{0};
  std::atomic<int64_t> framesDroppedOnDisk_{0};
  std::atomic<int64_t> framesSkipped_{0};
  std::atomic<bool> inWrite_{false};  // the writer is inside a file write
  std::atomic<int64_t> framesReceived_{0};
  Doorbell& writerBell_;

  // Under writing_.
  std::atomic<int64_t> framesWritten_{0};
  TrackTimeline timeline_;
  int64_t dropsFilled_ = 0;  // dropped frames a gap's silence has made up
  // timeline_ as last stamped, for timelineSoFar() on other threads: a
  // sequence count, odd while the writer changes the copy, and a reader that
  // retries. No lock: the finisher reads it at idle priority, and a lock it
  // held when the scheduler set it aside would stall the writer, and the
  // ring would drop buffers behind it.
  std::atomic<uint64_t> published_{0};
  std::array<std::atomic<double>, 3> publishedSeconds_{};  // start, last, head (NaN: not yet)
  std::array<std::atomic<int64_t>, 2> publishedFrames_{};
  uint32_t realignApplied_ = 0;
  // Writer: every block so far came from the track's first input while its
  // stamps settle (see appendBlock).
  bool firstInputSettling_ = true;
  int64_t failuresInARow_ = 0;
  std::unique_ptr<PcmBuffer> silence_;
};

}  // namespace orvane
