// The finisher's thread, its hand-over to the stop, the ways it gives its
// work up (a write that fails or a disk nearly full: the tracks get the disk
// first; heads that moved, tracks it could not read), and the output made
// afresh from the ended tracks.
#include "finalize/finisher.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "events/output.h"
#include "finalize/drift.h"
#include "finalize/speech_timeline.h"
#include "finalize/temp_paths.h"
#include "platform/files/private_file.h"

namespace orvane {
namespace {

constexpr double kRate = 48000;
// How far behind the newest frame it stays: no frame the track's writer is
// still putting down is read.
constexpr int64_t kLagFrames = 48000;
// Frames written between two looks at whether to sleep or fall behind.
constexpr int64_t kStepFrames = 48000;
// Frames written between two looks at whether the stop came: the stop waits
// out at most one such chunk.
constexpr int64_t kChunkFrames = 8192;
// Its nice value once caught up: the lowest priority a process may set itself.
constexpr int kIdleNice = 19;
// How long it sleeps once it has caught up: until about a step has come in,
// at the pace frames came during its last sleep, and no more than kPoll.
constexpr std::chrono::duration<double> kPoll = std::chrono::milliseconds(500);
constexpr std::chrono::duration<double> kShortestPoll = std::chrono::milliseconds(10);
// Further behind than this, it leaves idle priority until it has caught up:
// what it leaves the stop stays bounded however long the recording and however
// busy the machine.
constexpr int64_t kCatchUpFrames = 10 * 48000;
// Below this much free room the finisher's file goes (watchDisk): the tracks
// need it more (this is over a minute of both at their 192 kB a second).
constexpr uint64_t kDiskReserveBytes = 16ull << 20;
constexpr const char* kDiskNearlyFull = "the disk is nearly full";
// How far from the final measurement's place a corrected frame may lie: 0.5 ms.
constexpr double kToleranceFrames = 24;
// What remains for the stop beyond this is said in a diagnostic.
constexpr int64_t kBehindFrames = 30 * 48000;

bool roomOnDisk(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  struct statvfs info{};
  if (::statvfs(folder.empty() ? "." : folder.c_str(), &info) != 0) return true;  // unknown: the write will tell
  return static_cast<uint64_t>(info.f_bavail) * info.f_frsize >= kDiskReserveBytes;
}

// The ended track's length as an ordinary reader finds it.
std::optional<int64_t> endedLength(const std::optional<TrackSource>& track) {
  if (!track) return std::nullopt;
  auto file = AudioFile::openForReading(track->path);
  if (!file) return std::nullopt;
  return (*file)->length();
}

// The ratio a track is corrected by as measured so far; nothing before the
// measurement can be made.
std::optional<double> ratioSoFar(const TrackTimeline& timeline) {
  const std::optional<double> rate = measuredRate(timeline, kRate);
  if (!rate) return std::nullopt;
  return correctionRatio(rate, kRate);
}

// The encoder's last frames and the container's index are written at the
// close: a failure there leaves a file no player opens. The output's name is
// taken only by a file that is whole and on storage.
Status closeIntoPlace(AudioFile& file, const std::string& path, const std::string& outputPath) {
  Status error = file.close();
  if (!error) error = syncToStorage(path);
  if (!error) error = replaceFile(path, outputPath);
  return error;
}

}  // namespace

Finisher::Finisher(std::string outputPath, std::string ownPath, AudioSettings settings,
                   std::optional<std::string> mic, std::optional<std::string> system, Progress progress,
                   CreateOutput create, bool cancelEcho, bool speech)
    : outputPath_(std::move(outputPath)), ownPath_(std::move(ownPath)), settings_(settings),
      micPath_(std::move(mic)), systemPath_(std::move(system)), progress_(std::move(progress)),
      create_(create ? std::move(create) : [settings](const std::string& path) {
        // Made again from the tracks after a crash, so its header waits for the close.
        return AudioFile::createForWriting(path, settings, WriteDurability::atClose);
      }),
      cancelEcho_(cancelEcho), speech_(speech) {}

Finisher::~Finisher() {
  stopThread();
  if (output_ || stream_) {
    output_.reset();
    removeQuietly(ownPath_);
  }
}

void Finisher::start() {
  started_ = true;
  if (live_) live_->start(micPath_, systemPath_, progress_, cancelEcho_);
  poll();
}

void Finisher::poll() {
  watchDisk();
  // Its thread, at idle priority, may hold the lock while the CPU is
  // elsewhere: the caller's loop does not wait for it, it looks again later.
  std::unique_lock lock(lock_, std::try_to_lock);
  if (!lock || !started_ || stopping_ || failure_) return;
  if (thread_.joinable()) {
    if (!fellBehind_) return;
    // It ended at idle priority far behind, past its last touch of this
    // object (lock_ is ours now), and its exit may wait for the CPU: nobody
    // waits for it, and a new one catches up at this thread's priority.
    thread_.detach();
  }
  const Timelines now = progress_();
  if ((micPath_ && !ratioSoFar(now.mic)) || (systemPath_ && !ratioSoFar(now.system))) return;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    failure_ = "no thread to be had";  // a thread or memory limit: the stop makes the output
  }
}

void Finisher::watchDisk() {
  std::lock_guard lock(diskLock_);
  if (!started_ || stopping_ || diskGivenUp_ || roomOnDisk(ownPath_)) return;
  diskGivenUp_ = true;
  // Emptied first: its thread may still hold the file open, which would keep
  // a removed file's blocks.
  ::truncate(ownPath_.c_str(), 0);
  removeQuietly(ownPath_);
}

void Finisher::stopThread() {
  {
    std::lock_guard disk(diskLock_);
    std::lock_guard lock(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  // It looks at the stop between chunks: at idle priority the stop waits
  // for one chunk, not for a step of a second of audio.
  if (thread_.joinable()) thread_.join();
}

// It starts at the priority of the thread that made it and stays there until
// it has caught up; then at the lowest priority (nice 19) it takes little
// time that others want, so capture and the tracks' writers do not wait for
// it. An unprivileged thread may raise its nice value but never lower it
// again (that needs RLIMIT_NICE), so it ends when it falls too far behind and
// poll() starts another at the starting priority.
void Finisher::run() {
  pthread_setname_np(pthread_self(), "finisher");  // its CPU apart from the rest, for the stop benchmark
  std::unique_lock lock(lock_);
  fellBehind_ = false;
  bool idle = false, slept = false;
  while (!stopping_) {
    lock.unlock();
    const bool more = step();
    lock.lock();
    if (slept && found_ > 0) pause_ = std::clamp(pause_ * kStepFrames / found_, kShortestPoll, kPoll);
    slept = !more && !stopping_;
    if (idle && left_ > kCatchUpFrames) {
      fellBehind_ = true;
      return;
    }
    if (slept && !idle) idle = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kIdleNice) == 0;
    if (slept) wake_.wait_for(lock, pause_, [this] { return stopping_.load(); });
  }
}

bool Finisher::step() {
  found_ = left_ = 0;
  if (failure_) return false;
  const Timelines now = progress_();
  const std::optional<double> micRatio = ratioSoFar(now.mic), systemRatio = ratioSoFar(now.system);
  // Nothing can be written before the rates are measured: until then it
  // holds no file and no encoder.
  if (!stream_ && ((micPath_ && !micRatio) || (systemPath_ && !systemRatio))) return false;
  if (!stream_ && !begin(now)) return false;
  stream_->follow(kLagFrames, micRatio, systemRatio);
  found_ = stream_->available();
  const int64_t before = output_->length();
  for (int64_t left = kStepFrames; left > 0 && !stopping_ && !diskGivenUp_; left -= kChunkFrames) {
    if (Status error = stream_->advance(*output_, std::min(left, kChunkFrames))) {
      fail("its write failed: " + error->description);
      return false;
    }
  }
  if (diskGivenUp_) {
    fail(kDiskNearlyFull);
    return false;
  }
  left_ = stream_->available();
  written_.store(output_->length(), std::memory_order_relaxed);
  return written_.load(std::memory_order_relaxed) - before == kStepFrames;
}

// The head alignment decides where every frame goes: both tracks' heads were
// fixed (half a second in) long before their rates are measured.
bool Finisher::begin(const Timelines& now) {
  const std::optional<double> micStart = now.mic.headSeconds, systemStart = now.system.headSeconds;
  if ((micPath_ && !micStart) || (systemPath_ && !systemStart)) return false;
  stream_ = std::make_unique<InterleaveStream>(TrackSource::of(micPath_, micStart),
                                               TrackSource::of(systemPath_, systemStart), true,
                                               outcome_, cancelEcho_, speech_);
  const bool opened = stream_->ready() && (!micPath_ || outcome_.mic == TrackRead::clean) &&
                      (!systemPath_ || outcome_.system == TrackRead::clean);
  if (!opened) {
    fail("the tracks could not be read while recording");
    return false;
  }
  plan_ = stream_->plan(micStart, systemStart);
  begun_ = now;
  auto created = create_(ownPath_);
  if (!created) {
    fail("its file could not be made: " + created.error().description);
    return false;
  }
  output_ = std::move(*created);
  return true;
}

// Once the output took its name: the timeline of the frames it holds. A
// timeline that cannot be written leaves the output as it is.
void Finisher::placeSpeech(bool outputPlaced) {
  if (!speech_) return;
  const SpeechTimeline* speech = stream_ ? stream_->speech() : nullptr;
  if (!outputPlaced || !speech) return diag("speech timeline: none is written, as no output was made");
  if (Status error = writeSpeechTimeline(*speech, outputPath_)) {
    diag("speech timeline: none is written: " + error->description);
  }
}

// Its own file goes at once, so that the disk is the tracks' again.
void Finisher::fail(const std::string& why) {
  {
    std::lock_guard lock(lock_);  // poll() reads it from another thread
    if (!failure_) failure_ = why;
  }
  output_.reset();  // unclosed: an AAC output's container is never written
  stream_.reset();
  removeQuietly(ownPath_);
}

void Finisher::abandon(const std::string& why) {
  stopThread();
  fail(why);
  diag("finisher: " + *failure_ + "; the output is made from the tracks afresh");
  outcome_ = {};
}

bool Finisher::sameSources(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system) const {
  auto same = [](const std::optional<TrackSource>& track, const std::optional<std::string>& path,
                 const std::optional<double>& start) {
    if (!track || !path) return !track && !path;
    return track->path == *path && track->startSeconds == start;
  };
  return same(mic, micPath_, begun_.mic.headSeconds) && same(system, systemPath_, begun_.system.headSeconds);
}

bool Finisher::ready(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system,
                     double micRatio, double systemRatio) {
  stopThread();
  micEnded_ = mic;
  systemEnded_ = system;
  micRatio_ = micRatio;
  systemRatio_ = systemRatio;
  if (!started_) return true;
  if (!failure_ && diskGivenUp_) fail(kDiskNearlyFull);
  if (!failure_ && !stream_) fail("it had not begun");
  if (!failure_ && !sameSources(mic, system)) fail("the stop reads other tracks or heads");
  micFrames_ = endedLength(mic);
  systemFrames_ = endedLength(system);
  // The host hears the end before the output is finished.
  if (live_) live_->end(mic, system, micFrames_, systemFrames_, micRatio, systemRatio);
  live_.reset();
  if (!failure_ && ((mic && !micFrames_) || (system && !systemFrames_))) fail("a track cannot be read at the stop");
  if (!failure_) planRedo(micRatio, systemRatio);
  if (!failure_) return true;
  abandon(*failure_);
  return false;
}

// Frames that lie too far from the final measurement are made again from
// their span on, when that leaves the earlier half of the output standing;
// an echo canceller cannot be taken back to an earlier moment.
void Finisher::planRedo(double micRatio, double systemRatio) {
  redoFrom_ = stream_->firstMisplaced(micRatio, systemRatio, kToleranceFrames);
  if (!redoFrom_) return;
  char why[160];
  const double seconds = static_cast<double>(*redoFrom_) / kRate;
  if (cancelEcho_ || *redoFrom_ < output_->length() / 2) {
    std::snprintf(why, sizeof why, "its frames from %.1f s on lie over 0.5 ms from the final drift measurement",
                  seconds);
    return fail(why);
  }
  std::snprintf(why, sizeof why, "finisher: its frames from %.1f s on are made again from the final drift measurement",
                seconds);
  diag(why);
}

// Its output goes back to the redo's frame, or as far before it as the encoder needs.
Status Finisher::redo() {
  Result<int64_t> from = output_->truncate(*redoFrom_);
  if (!from) return from.error();
  stream_->rewind(*from);
  return std::nullopt;
}

Result<int64_t> Finisher::finish(InterleaveOutcome& outcome, bool keepEmpty) {
  std::optional<int64_t> frames;
  if (stream_) frames = finishGrowing();
  Result<int64_t> written = frames ? Result<int64_t>(*frames) : finishEnded(keepEmpty);
  outcome = outcome_;
  return written;
}

// What the tracks' frames since its last step decide, at the final ratios;
// nothing when it had to give up (said).
std::optional<int64_t> Finisher::finishGrowing() {
  if (!plan_.diagnostic.empty()) diag(plan_.diagnostic);
  const int64_t before = output_->length();  // what was behind it; a redo has said its own part
  stream_->end(micFrames_, systemFrames_, micRatio_, systemRatio_, kToleranceFrames);
  Status error = redoFrom_ ? redo() : std::nullopt;
  if (!error) error = stream_->advance(*output_, INT64_MAX);
  if (error) {
    abandon("its last write failed: " + error->description);
    return std::nullopt;
  }
  if (outcome_.readFailed()) {
    abandon("a track failed to read");
    return std::nullopt;
  }
  const int64_t frames = output_->length();
  if (frames - before > kBehindFrames) {
    char line[96];
    std::snprintf(line, sizeof line, "finisher: %.1f s were left for the stop",
                  static_cast<double>(frames - before) / kRate);
    diag(line);
  }
  if (Status error = closeIntoPlace(*output_, ownPath_, outputPath_)) {
    abandon("its file could not be finished: " + error->description);
    return std::nullopt;
  }
  placeSpeech(true);
  output_.reset();
  stream_.reset();
  return frames;
}

// All of the output from the ended tracks, beside the output until it is whole.
Result<int64_t> Finisher::finishEnded(bool keepEmpty) {
  const std::string partial = TempPaths(outputPath_).partialOutput;
  Result<int64_t> written = writeEnded(partial);
  bool placed = false;
  if (written && (*written > 0 || keepEmpty)) {
    Status error = closeIntoPlace(*output_, partial, outputPath_);
    if (error) written = *error;
    placed = !error;
  }
  placeSpeech(placed);
  output_.reset();
  stream_.reset();
  if (!written || *written == 0) removeQuietly(partial);
  return written;
}

// The heads aligned by their start times where known; a long AAC output is
// encoded on all cores.
Result<int64_t> Finisher::writeEnded(const std::string& path) {
  auto created = AudioFile::createForWriting(path, settings_, WriteDurability::atClose);
  if (!created) return created.error();
  output_ = std::move(*created);
  stream_ = std::make_unique<InterleaveStream>(micEnded_, systemEnded_, false, outcome_, cancelEcho_, speech_);
  // A missing chunk would silently cut the recording short, so it is an error.
  if (!stream_->ready()) return posixError(ENOMEM, "cannot allocate the output chunk for " + path);
  stream_->correct(micRatio_, systemRatio_);
  auto start = [](const std::optional<TrackSource>& track) {
    return track ? track->startSeconds : std::nullopt;
  };
  const HeadAlignment& plan = stream_->plan(start(micEnded_), start(systemEnded_));
  if (!plan.diagnostic.empty()) diag(plan.diagnostic);
  std::optional<Result<int64_t>> parallel = stream_->encodeInParallel(*output_, settings_, path);
  if (parallel && !*parallel) return parallel->error();
  if (!parallel) {
    if (Status error = stream_->advance(*output_, INT64_MAX)) return *error;
  }
  // A track that holds audio but could not be read would leave its channel
  // silent: that is a failed output, and the tracks stay for a recovery.
  if (Status error = stream_->lostAudio(micEnded_, systemEnded_)) return *error;
  return parallel ? parallel->value() : output_->length();
}

Result<int64_t> finishEndedTracks(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system,
                                  double micRatio, double systemRatio, const std::string& outputPath,
                                  const AudioSettings& settings, InterleaveOutcome& outcome, bool keepEmpty,
                                  bool cancelEcho, bool speech) {
  Finisher finisher(outputPath, TempPaths(outputPath).finishing, settings, std::nullopt, std::nullopt,
                    [] { return Finisher::Timelines{}; }, {}, cancelEcho, speech);
  finisher.ready(mic, system, micRatio, systemRatio);
  return finisher.finish(outcome, keepEmpty);
}

Status writeSpeechTimeline(const SpeechTimeline& speech, const std::string& outputPath) {
  const TempPaths paths(outputPath);
  auto fd = createPrivateFile(paths.partialSpeech);
  if (!fd) return fd.error();
  const std::string text = speech.json();
  Status error;
  if (const int code = writeAll(*fd, text.data(), text.size())) {
    error = posixError(code, "cannot write " + paths.partialSpeech);
  }
  if (::close(*fd) != 0 && !error) error = posixError(errno, "cannot close " + paths.partialSpeech);
  if (!error) error = syncToStorage(paths.partialSpeech);
  if (!error) error = replaceFile(paths.partialSpeech, paths.speech);
  if (error) removeQuietly(paths.partialSpeech);
  return error;
}

}  // namespace orvane
