// The track's two sides: the producer's slot claim and conversion, and the
// writer's appends with their time keeping.
#include "track/track.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "events/output.h"
#include "platform/files/private_file.h"
#include "platform/identity.h"

namespace orvane {

namespace {

constexpr double kTrackRate = 48000;
// Stamps wander by a millisecond or so; input missing for longer than this
// is a gap (a device switch, a stream re-created) and is filled with silence.
constexpr int64_t kGapThresholdFrames = 240;  // 5 ms
// A stamp this far past the track's end is more likely wrong than the input
// lost: nothing is filled for it, unless blocks the track dropped explain it.
constexpr int64_t kMaxGapFrames = 10 * 48000;
// A resume tops the track up by at most a second.
constexpr int64_t kMaxResumePadFrames = 48000;
// A buffer is kept or dropped whole at the pause, so the first one after a
// resume can begin inside the pause; its head is dropped to keep the track in
// step with active time. More than a second ahead is not a pause's doing (a
// time stamp that jumped): nothing is dropped for it.
constexpr int64_t kMaxSkipFrames = 48000;
constexpr int64_t kFailureThreshold = 10;
// Frames the track holds when its head start is fixed (TrackTimeline::headSeconds):
// later settling moves its start by a frame or so (under 0.1 ms) and the live
// audio, which cannot begin before, begins half a second in.
constexpr int64_t kHeadFrames = 24000;

void skipLeadingFrames(PcmBuffer& buffer, uint32_t frames) {
  float* samples = buffer.floatChannelData(0);
  const uint32_t kept = buffer.frameLength() - frames;
  std::memmove(samples, samples + frames, kept * sizeof(float));
  buffer.setFrameLength(kept);
}

std::string milliseconds(int64_t frames) {
  return shortestDecimal(std::round(static_cast<double>(frames) / kTrackRate * 10000.0) / 10.0) + " ms";
}

}  // namespace

void WriteFailureReport::failed(const char* trackName, int64_t inARow) {
  if (inARow < kFailureThreshold) return;
  {
    std::lock_guard lock(lock_);
    if (reported_) return;
    reported_ = true;
  }
  diag(std::string(trackName) + " write failed " + std::to_string(inARow) + " times; reporting disk_write_failed");
  emit("ERROR disk_write_failed");
}

const AudioFormat& Track::format() {
  static const AudioFormat mono = AudioFormat::standard(kTrackRate, 1);
  return mono;
}

Track::Track(const char* name, std::string path, WriteFailureReport& failures, Doorbell& writerBell)
    : name_(name), path_(std::move(path)), failures_(failures), writerBell_(writerBell) {}

Track::~Track() {
  delete prepared_.exchange(nullptr);
  delete retired_.exchange(nullptr);
  if (lockFd_ >= 0) ::close(lockFd_);
}

std::string Track::readPath() const {
  return lockFd_ >= 0 ? descriptorPath(lockFd_) : path_;
}

// A file whose last name is gone cannot be linked again: its bytes are
// copied from the descriptor under a new file of the same name. One that
// was moved (its folder renamed) stays where it went.
bool Track::restoreName() {
  if (lockFd_ < 0) return true;
  struct stat named{}, held{};
  if (::fstat(lockFd_, &held) != 0) return false;
  if (::stat(path_.c_str(), &named) == 0 && named.st_ino == held.st_ino && named.st_dev == held.st_dev) return true;
  if (const std::optional<std::string> name = currentName(readPath())) {
    diag(std::string(name_) + " track " + path_ + " was moved to " + *name + " while recording; it stays there");
    return true;
  }
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
  const bool copied = copyHeldFile(held.st_size);
  diag(std::string(name_) + " track " + path_ + (copied ? " was removed while recording; written again"
                                                         : " was removed while recording and cannot be written again"));
  return copied;
}

bool Track::copyHeldFile(int64_t size) const {
  const std::string partial = path_ + ".partial";
  Result<int> to = createPrivateFile(partial);
  if (!to) return false;
  off_t from = 0;
  while (from < size) {
    const ssize_t sent = ::sendfile(*to, lockFd_, &from, static_cast<size_t>(size - from));
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) break;
  }
  const bool whole = from == size && ::fsync(*to) == 0;
  ::close(*to);
  if (!whole || ::rename(partial.c_str(), path_.c_str()) != 0) {
    ::unlink(partial.c_str());
    return false;
  }
  return true;
}

bool Track::open(std::shared_ptr<AudioFile> file, int lockFd) {
  for (auto& slot : slots_) {
    slot.audio = PcmBuffer::create(format(), kSlotFrames);
    if (!slot.audio) return false;
  }
  silence_ = PcmBuffer::create(format(), kSlotFrames);
  if (!silence_) return false;
  silence_->clear(kSlotFrames);
  std::lock_guard lock(writing_);
  file_ = std::move(file);
  lockFd_ = lockFd;
  open_ = true;
  return true;
}

void Track::prepare(const AudioFormat& input) {
  delete retired_.exchange(nullptr);
  if (input.sampleRate <= 0 || input.channelCount == 0) return;
  auto converter = AudioConverter::create(input, format(), {kMaxBlockFrames, kSlotFrames});
  if (!converter) {
    diag(std::string(name_) + " cannot convert " + input.describe() + " into the track's format: that input is lost");
    return;
  }
  delete prepared_.exchange(new Converter{input, std::move(converter)});
}

// ------------------------------------------------------------ producer side

void Track::submit(const PcmBuffer& buffer, std::optional<ActiveTime> at, bool startsAnew) {
  // The count goes up before open_ is read, and close() clears open_ before
  // it reads the count: a producer either sees the track closing or is seen.
  submitting_.fetch_add(1);
  if (open_ && buffer.frameLength() > 0) submitOpen(buffer, at, startsAnew ? Placement::atStamp : Placement::next);
  submitting_.fetch_sub(1);
}

// Guarded as submit() is: the close frees the converter it reads.
bool Track::hasRoomFor(uint32_t inputFrames) {
  submitting_.fetch_add(1);
  const bool room = !open_ || !converter_ || inFlight() + static_cast<uint64_t>(slotsFor(inputFrames)) <= kSlotCount;
  submitting_.fetch_sub(1);
  return room;
}

void Track::submitOpen(const PcmBuffer& buffer, std::optional<ActiveTime> at, Placement placement) {
  framesReceived_.fetch_add(buffer.frameLength(), std::memory_order_relaxed);
  if (!ensureConverter(buffer.format())) {
    framesUnconverted_.fetch_add(buffer.frameLength(), std::memory_order_relaxed);
    return;
  }
  // What the converter still holds comes out first: this output begins that
  // much before the buffer's own stamp. Left out, a 50 kHz device's track
  // would lag its stamps by the converter's delay and measure slow.
  AudioConverter& converter = *converter_->converter;
  const double held = converter.pendingOutputFrames();
  const int count = slotsFor(buffer.frameLength());
  int first = 0;
  if (count > kSlotCount || !claimSlots(count, first)) {
    countDrop(static_cast<int64_t>(std::llround(buffer.frameLength() * kTrackRate / buffer.format().sampleRate)));
    return;
  }
  const int filled = fillSlots(buffer, first, count);
  if (filled == 0) return;
  if (at) at->seconds -= held / kTrackRate;
  handOff(first, filled, at, placement);
}

// Acquire: the writer is done with the slots it released before we refill them.
uint64_t Track::inFlight() const {
  return handedOver_.load(std::memory_order_relaxed) - released_.load(std::memory_order_acquire);
}

int Track::slotsFor(uint32_t inputFrames) const {
  const uint32_t most = converter_->converter->maxOutputFrames(inputFrames);
  return std::max(1, static_cast<int>((most + kSlotFrames - 1) / kSlotFrames));
}

// A prepared converter of another format stays for its own blocks; without
// one for this format, one is built here, the only allocation left.
bool Track::ensureConverter(const AudioFormat& input) {
  if (converter_ && converter_->input == input) return true;
  std::unique_ptr<Converter> next(prepared_.exchange(nullptr));
  if (next && next->input != input) {
    Converter* none = nullptr;
    if (prepared_.compare_exchange_strong(none, next.get())) next.release();
    else retire(std::move(next));  // a newer one came meanwhile
  }
  if (!next) {
    auto built = AudioConverter::create(input, format(), {kMaxBlockFrames, kSlotFrames});
    if (!built) return false;
    next.reset(new Converter{input, std::move(built)});
    ++unpreparedFormats_;
  }
  // The old converter's tail belongs to the old device's last buffer.
  if (converter_) {
    flushConverterIntoSlots();
    retire(std::move(converter_));
  }
  converter_ = std::move(next);
  return true;
}

// Frees only when two converters were retired with no prepare() between.
void Track::retire(std::unique_ptr<Converter> converter) {
  delete retired_.exchange(converter.release());
}

bool Track::flushConverterIntoSlots() {
  int first = 0;
  if (!claimSlots(1, first)) return false;
  PcmBuffer& slot = *slots_[static_cast<size_t>(first)].audio;
  if (converter_->converter->flush(slot) || slot.frameLength() == 0) return false;
  handOff(first, 1, std::nullopt);
  return true;
}

// Converts into `count` claimed slots from `first`; returns how many hold frames.
int Track::fillSlots(const PcmBuffer& buffer, int first, int count) {
  int filled = 0;
  for (int i = 0; i < count; ++i) {
    PcmBuffer& slot = *slots_[static_cast<size_t>((first + i) % kSlotCount)].audio;
    AudioConverter& converter = *converter_->converter;
    const Status error = i == 0 ? converter.convert(buffer, slot) : converter.convertHeld(slot);
    if (error || slot.frameLength() == 0) break;
    ++filled;
    if (slot.frameLength() < slot.frameCapacity()) break;
  }
  return filled;
}

// Slots the producer fills are its own until handOff() publishes them.
bool Track::claimSlots(int count, int& first) {
  if (inFlight() + static_cast<uint64_t>(count) > kSlotCount) return false;
  dropping_ = false;
  first = static_cast<int>(handedOver_.load(std::memory_order_relaxed) % kSlotCount);
  return true;
}

void Track::countDrop(int64_t frames) {
  framesDropped_.fetch_add(frames, std::memory_order_relaxed);
  if (inWrite_.load(std::memory_order_relaxed)) framesDroppedOnDisk_.fetch_add(frames, std::memory_order_relaxed);
  if (!std::exchange(dropping_, true)) dropEpisodes_.fetch_add(1, std::memory_order_relaxed);
}

// Release: the writer that sees the count sees the slots' audio and metadata.
void Track::handOff(int first, int count, std::optional<ActiveTime> at, Placement placement) {
  Slot& head = slots_[static_cast<size_t>(first)];
  head.blockSlots = count;
  head.at = at;
  head.placement = placement;
  handedOver_.fetch_add(static_cast<uint64_t>(count), std::memory_order_release);
  if (inFlight() >= static_cast<uint64_t>(kWakeSlots)) writerBell_.ring();
}

// ------------------------------------------------------------- writer side

void Track::drain() {
  std::lock_guard lock(writing_);
  appendHandedOver();
}

void Track::sync() {
  std::lock_guard lock(writing_);
  appendHandedOver();
  if (file_) file_->sync();  // a failing disk shows in the appends
}

void Track::appendHandedOver() {
  if (!file_) return;
  const uint64_t end = handedOver_.load(std::memory_order_acquire);
  for (uint64_t next = released_.load(std::memory_order_relaxed); next < end;) {
    const Slot& head = slots_[next % kSlotCount];
    appendBlock(static_cast<int>(next % kSlotCount), head.blockSlots, head.at, head.placement);
    next += static_cast<uint64_t>(head.blockSlots);
    released_.store(next, std::memory_order_release);
  }
}

void Track::appendBlock(int first, int count, std::optional<ActiveTime> at, Placement placement) {
  int from = 0;  // the first of the block's slots to append
  if (at) {
    const bool resumed = at->generation != realignApplied_;
    // The track's first input has nothing before it to keep apart from: as
    // its stamps settle, its start moves with them and nothing is skipped.
    const bool settlingFromStart = placement == Placement::atStamp && firstInputSettling_ && !resumed;
    firstInputSettling_ = settlingFromStart;
    if (settlingFromStart) placement = Placement::next;
    const int64_t early = keepInStep(at->seconds, resumed, placement);
    if (settlingFromStart) {
      moveStartBack(early);
    } else if (resumed) {
      const int64_t skipped = skipHeld(first, count, early, from);
      if (from == count) return;  // captured while paused, all of it: the next buffer re-aligns
      realignApplied_ = at->generation;
      at->seconds += static_cast<double>(skipped) / kTrackRate;
      if (skipped > 0) diag("resume re-align: skipped " + std::to_string(skipped) + " frames captured while paused");
    } else if (placement == Placement::atStamp) {
      // A block the track holds all of goes whole; the next is placed at its own stamp.
      const int64_t skipped = skipHeld(first, count, early, from);
      framesSkipped_.fetch_add(skipped, std::memory_order_relaxed);
      at->seconds += static_cast<double>(skipped) / kTrackRate;
      if (skipped > kGapThresholdFrames) {
        diag(std::string(name_) + " input began " + milliseconds(early) + " before the track's end as its stamps " +
             "settled; " + (from == count ? "all " : "its first ") + milliseconds(skipped) + " skipped");
      }
    }
  }
  for (int i = from; i < count; ++i) {
    const int64_t position = framesWritten();
    const bool appended = append(*slots_[static_cast<size_t>((first + i) % kSlotCount)].audio);
    // A buffer cut short still begins where it was stamped.
    if (i == from && at && framesWritten() > position) stamp(at->seconds, position);
    if (!appended) break;
  }
}

// Compares where the track is with where active time says it should be, from
// the last stamped buffer, at the device's rate as measured so far. Over a
// gap of seconds a device 50 ppm off is frames away from the nominal rate:
// filled at that, every later frame would lie that far off the line the
// earlier ones make, and the drift is measured, and the output corrected,
// along one line. Fills what is missing with silence (after a resume, any
// shortfall; else a gap past the threshold) and returns how many frames the
// track is ahead.
int64_t Track::keepInStep(double activeSeconds, bool resumed, Placement placement) {
  if (!timeline_.lastSeconds) return 0;
  const double seconds = activeSeconds - *timeline_.lastSeconds;
  const auto expected = static_cast<int64_t>(std::round(seconds * framesPerSecond()));
  const int64_t shortfall = expected - (framesWritten() - timeline_.lastFrames);
  if (shortfall < 1) return -shortfall;
  if (resumed) {
    const int64_t frames = std::min(shortfall, kMaxResumePadFrames);
    if (writeSilence(frames)) diag("resume re-align: padded " + std::to_string(frames) + " frames");
    return 0;
  }
  const bool gap = shortfall > kGapThresholdFrames;
  if (!gap && placement == Placement::next) return 0;
  // A gap that blocks this track dropped explain is input lost, however long
  // (a disk that held the writer for longer than the server's buffer).
  const int64_t unfilledDrops = framesDropped() - dropsFilled_;
  if (shortfall > kMaxGapFrames + unfilledDrops) {
    diag(std::string(name_) + " input resumed " + milliseconds(shortfall) +
         " past the track's end; not filled (a time stamp that jumped, not lost input)");
    return 0;
  }
  dropsFilled_ += std::min(shortfall, unfilledDrops);
  if (writeSilence(shortfall) && gap) {
    diag(std::string(name_) + " input gap of " + milliseconds(shortfall) + " filled with silence");
  }
  return 0;
}

// Active time becomes frames at the rate the track's stamps show, once the
// stop could measure it; before, at the nominal rate.
double Track::framesPerSecond() const { return measuredRate(timeline_, kTrackRate).value_or(kTrackRate); }

// The track's first stamps were late by `frames` (its input's first arrival
// was delayed): the whole track so far moves that much earlier in time.
void Track::moveStartBack(int64_t frames) {
  if (frames <= 0 || frames > kMaxSkipFrames) return;
  const double seconds = static_cast<double>(frames) / kTrackRate;
  *timeline_.startSeconds -= seconds;
  *timeline_.lastSeconds -= seconds;
}

// Drops the first `frames` of a block the track already holds the time of:
// whole slots, then the head of the next; `from` is the first slot left
// (`count` when the whole block goes). Returns the frames dropped.
int64_t Track::skipHeld(int first, int count, int64_t frames, int& from) {
  from = 0;
  if (frames <= 0 || frames > kMaxSkipFrames) return 0;
  int64_t left = frames;
  for (; from < count; ++from) {
    PcmBuffer& slot = *slots_[static_cast<size_t>((first + from) % kSlotCount)].audio;
    if (left < slot.frameLength()) {
      if (left > 0) skipLeadingFrames(slot, static_cast<uint32_t>(left));
      return frames;
    }
    left -= slot.frameLength();
  }
  return frames - left;
}

bool Track::writeSilence(int64_t frames) {
  for (int64_t left = frames; left > 0;) {
    const auto chunk = static_cast<uint32_t>(std::min<int64_t>(left, kSlotFrames));
    silence_->setFrameLength(chunk);
    if (!append(*silence_)) return false;
    left -= chunk;
  }
  return true;
}

// The file's own length is the track's position, so a write cut short (a
// full disk) leaves the counters at the frames that really are in the file.
bool Track::append(const PcmBuffer& buffer) {
  inWrite_.store(true, std::memory_order_relaxed);
  const Status error = file_->write(buffer);
  inWrite_.store(false, std::memory_order_relaxed);
  framesWritten_.store(file_->length(), std::memory_order_relaxed);
  if (!error) {
    failuresInARow_ = 0;
    return true;
  }
  ++failuresInARow_;
  diag(std::string(name_) + " write error: domain=" + error->domain + " code=" + std::to_string(error->code));
  failures_.failed(name_, failuresInARow_);
  return false;
}

void Track::stamp(double activeSeconds, int64_t position) {
  if (!timeline_.startSeconds) {
    timeline_.startSeconds = activeSeconds;
    timeline_.startFrames = position;
  }
  if (!timeline_.headSeconds && position - timeline_.startFrames >= kHeadFrames) {
    timeline_.headSeconds = timeline_.startSeconds;
  }
  if (!timeline_.lastSeconds || !(*timeline_.lastSeconds > activeSeconds)) {
    timeline_.lastSeconds = activeSeconds;
    timeline_.lastFrames = position;
  }
  const uint64_t version = published_.load(std::memory_order_relaxed);
  published_.store(version + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  publishedSeconds_[0].store(*timeline_.startSeconds, std::memory_order_relaxed);
  publishedSeconds_[1].store(*timeline_.lastSeconds, std::memory_order_relaxed);
  publishedSeconds_[2].store(timeline_.headSeconds.value_or(NAN), std::memory_order_relaxed);
  publishedFrames_[0].store(timeline_.startFrames, std::memory_order_relaxed);
  publishedFrames_[1].store(timeline_.lastFrames, std::memory_order_relaxed);
  published_.store(version + 2, std::memory_order_release);
}

// ----------------------------------------------------------- any thread

TrackTimeline Track::timelineSoFar() const {
  for (;;) {
    const uint64_t version = published_.load(std::memory_order_acquire);
    if (version == 0) return {};
    const double head = publishedSeconds_[2].load(std::memory_order_relaxed);
    TrackTimeline copy{publishedSeconds_[0].load(std::memory_order_relaxed),
                       publishedFrames_[0].load(std::memory_order_relaxed),
                       publishedSeconds_[1].load(std::memory_order_relaxed),
                       publishedFrames_[1].load(std::memory_order_relaxed),
                       std::isnan(head) ? std::nullopt : std::optional<double>(head)};
    std::atomic_thread_fence(std::memory_order_acquire);
    if (version % 2 == 0 && published_.load(std::memory_order_relaxed) == version) return copy;
    std::this_thread::yield();
  }
}

// The close appends and finishes on the caller's thread, under the writer's
// lock: a writer round or a sync after it finds no file.
Status Track::close() {
  open_ = false;
  while (submitting_.load() > 0) std::this_thread::yield();
  if (const int64_t built = unpreparedFormats_.load()) {
    diag(std::string(name_) + " input changed to a format nobody prepared " + std::to_string(built) +
         " time(s): its converter was built on the capture thread");
  }
  if (const int64_t lost = framesUnconverted_.load()) {
    diag(std::string(name_) + " lost " + std::to_string(lost) + " input frames in a format it could not convert");
  }
  std::lock_guard lock(writing_);
  appendHandedOver();
  if (!timeline_.headSeconds) timeline_.headSeconds = timeline_.startSeconds;  // shorter than half a second
  return finish();
}

Status Track::finish() {
  if (!file_) return std::nullopt;
  if (converter_) {
    // Nothing stamps the tail: it only ends the track. Every slot is free
    // once the appends before have run, so the first one takes it.
    PcmBuffer& tail = *slots_[static_cast<size_t>(handedOver_.load() % kSlotCount)].audio;
    for (;;) {
      if (converter_->converter->flush(tail) || tail.frameLength() == 0) break;
      const bool full = tail.frameLength() == tail.frameCapacity();
      if (!append(tail) || !full) break;
    }
    converter_.reset();
  }
  Status status = file_->close();
  file_.reset();
  return status;
}

}  // namespace orvane
