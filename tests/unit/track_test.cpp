// One track in isolation, no process and no real time: any input format
// switched mid-run, a stalled writer, a write cut short, gaps and resumes, and
// the active time that blocks are stamped with.
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "platform/runtime/host_clock.h"
#include "track/track.h"
#include "track/track_writer.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

// A track's file held in memory (48 kHz mono): it records every append and
// sync, and can be told to land half of each write and fail, as a disk that
// fills part-way does.
class MemoryAudioFile : public AudioFile {
 public:
  const AudioFormat& processingFormat() const override { return format_; }
  int64_t length() const override { return static_cast<int64_t>(samples.size()); }
  Status write(const PcmBuffer& buffer) override {
    const uint32_t frames = writeHalves ? buffer.frameLength() / 2 : buffer.frameLength();
    samples.insert(samples.end(), buffer.floatChannelData(0), buffer.floatChannelData(0) + frames);
    appendSizes.push_back(frames);
    return writeHalves ? Status{Error{"sim", 28, "no space left on device"}} : std::nullopt;
  }
  Status read(PcmBuffer&, uint32_t) override { return Error{"sim", 5, "not read here"}; }
  Status sync() override {
    syncedAtLength.push_back(samples.size());
    return std::nullopt;
  }
  Status close() override { return std::nullopt; }

  std::vector<float> samples;
  std::vector<uint32_t> appendSizes;
  std::vector<size_t> syncedAtLength;  // the track's length at each sync
  bool writeHalves = false;

 private:
  AudioFormat format_ = AudioFormat::standard(48000, 1);
};

// `frames` frames of a 1 kHz tone at `rate` in `channels` interleaved float
// channels; a ramp from `firstValue` (mono 48 kHz), where a frame's place shows.
std::unique_ptr<PcmBuffer> toneBuffer(double rate, uint32_t channels, uint32_t frames, int64_t phase = 0) {
  auto buffer = PcmBuffer::create(AudioFormat{rate, channels, SampleType::float32, true}, frames);
  auto* samples = reinterpret_cast<float*>(buffer->plane(0));
  for (uint32_t i = 0; i < frames; ++i) {
    const float value = 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000.0 * static_cast<double>(phase + i) / rate));
    for (uint32_t c = 0; c < channels; ++c) samples[i * channels + c] = value;
  }
  buffer->setFrameLength(frames);
  return buffer;
}

std::unique_ptr<PcmBuffer> rampBuffer(uint32_t frames, float firstValue) {
  auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 1), frames);
  for (uint32_t i = 0; i < frames; ++i) buffer->floatChannelData(0)[i] = firstValue + static_cast<float>(i) * 1e-5f;
  buffer->setFrameLength(frames);
  return buffer;
}

class TrackTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(track.open(file)); }
  // `at` in active seconds, of the clock's generation now.
  void submit(const PcmBuffer& buffer, double at, bool startsAnew = false) {
    track.submit(buffer, ActiveTime{at, clock.at(kAfterEveryPause)->generation}, startsAnew);
    track.drain();
  }
  // Active time of the frame after the track's end, by its last stamp.
  double trackEnd() {
    const TrackTimeline t = track.timeline();
    return *t.lastSeconds + static_cast<double>(track.framesWritten() - t.lastFrames) / 48000.0;
  }
  static constexpr double kAfterEveryPause = 1e6;
  void pauseFor(double seconds) {
    clock.pause(1000.0);
    clock.resume(1000.0 + seconds);
  }

  ActiveClock clock;
  WriteFailureReport failures;
  std::shared_ptr<MemoryAudioFile> file = std::make_shared<MemoryAudioFile>();
  Doorbell writerBell;  // no writer here: the tests drain the track themselves
  Track track{"mic", "/tmp/orvane-track-test.mic.caf", failures, writerBell};
  CapturedStderr diagnostics;
};

// A headset switching profiles: every rate and channel count in turn, in
// buffers of 64 to 16 384 frames, stamped as a device would. Every second of
// input is a second of track, and nothing stays inside a converter.
TEST_F(TrackTest, InputOfAnyFormatSwitchedMidRunKeepsItsDuration) {
  struct Part {
    double rate;
    uint32_t channels;
    uint32_t frames;
  };
  const Part parts[] = {{48000, 2, 4096}, {16000, 1, 16384}, {8000, 1, 4096}, {44100, 2, 64},
                        {96000, 1, 1000}, {8000, 2, 16384},  {48000, 1, 333}, {16000, 2, 64}};
  double at = 10.0;
  double seconds = 0;
  for (const Part& part : parts) {
    const auto frames = static_cast<int64_t>(part.rate * 0.75);  // three quarters of a second each
    for (int64_t done = 0; done < frames; done += part.frames) {
      const auto n = static_cast<uint32_t>(std::min<int64_t>(part.frames, frames - done));
      submit(*toneBuffer(part.rate, part.channels, n, done), at);
      at += n / part.rate;
    }
    seconds += static_cast<double>(frames) / part.rate;
  }
  ASSERT_FALSE(track.close());
  EXPECT_EQ(track.framesDropped(), 0);
  EXPECT_NEAR(static_cast<double>(file->length()), seconds * 48000, 8.0) << "one converter delay at most";
  EXPECT_EQ(diagnostics.take().find("gap"), std::string::npos) << "contiguous input is no gap";
  // The tone is there in every part: no stretch of a part's length is silent.
  double quietest = 1;
  for (size_t from = 4800; from + 4800 < file->samples.size(); from += 4800) {
    double sum = 0;
    for (size_t i = from; i < from + 4800; ++i) sum += file->samples[i] * file->samples[i];
    quietest = std::min(quietest, std::sqrt(sum / 4800));
  }
  EXPECT_GT(quietest, 0.3);
}

// The capture side allocates nothing: not for a burst larger than any block
// before (the converter is readied for the largest), nor for a device of
// another format prepared while the old one still delivered (a restart).
TEST_F(TrackTest, ABurstOrAPreparedDeviceSwitchAllocatesNothingOnTheCaptureSide) {
#ifdef ORVANE_SANITIZED
  GTEST_SKIP() << "the sanitizers' allocators keep no heap statistics";
#endif
  auto small = toneBuffer(44100, 1, 1024), burst = toneBuffer(44100, 1, Track::kMaxBlockFrames);
  auto other = toneBuffer(16000, 1, Track::kMaxBlockFrames);
  track.prepare(small->format());
  submit(*small, 10.0);
  track.prepare(other->format());
  const size_t before = heapInUse();
  track.submit(*burst, ActiveTime{10.0 + 1024 / 44100.0});
  track.submit(*other, ActiveTime{10.0 + (1024 + Track::kMaxBlockFrames) / 44100.0});
  EXPECT_EQ(heapInUse(), before);
  ASSERT_FALSE(track.close());
  EXPECT_EQ(track.framesDropped(), 0);
}

// A writer that hangs until released, as a stalled disk does.
class StallingFile : public MemoryAudioFile {
 public:
  Status write(const PcmBuffer& buffer) override {
    std::unique_lock lock(mutex);
    released.wait(lock, [this] { return open; });
    return MemoryAudioFile::write(buffer);
  }
  void set(bool value) {
    std::lock_guard lock(mutex);
    open = value;
    released.notify_all();
  }
  std::mutex mutex;
  std::condition_variable released;
  bool open = false;
};

TEST_F(TrackTest, StalledWriterDropsWholeBuffersInOneEpisodeUntilASlotIsFree) {
  auto stalling = std::make_shared<StallingFile>();
  Track stalled{"system", "/tmp/orvane-track-test.sys.caf", failures, writerBell};
  ASSERT_TRUE(stalled.open(stalling));
  TrackWriter writer{writerBell, {&stalled}};  // rung at the fourth block, it hangs in the first write
  auto buffer = toneBuffer(48000, 1, 4096);
  for (int i = 0; i < 20; ++i) {
    // What an input that can leave a block with the server asks first.
    EXPECT_EQ(stalled.hasRoomFor(4096), i < 8) << i;
    stalled.submit(*buffer, std::nullopt);
  }
  // Eight slots in flight (the first being written, or about to be), twelve buffers dropped.
  EXPECT_EQ(stalled.dropEpisodes(), 1);
  EXPECT_EQ(stalled.framesDropped(), 12 * 4096);
  stalling->set(true);
  stalled.drain();
  EXPECT_TRUE(stalled.hasRoomFor(4096));
  stalled.submit(*buffer, std::nullopt);  // a free slot ends the episode
  stalled.drain();
  stalling->set(false);
  for (int i = 0; i < 9; ++i) stalled.submit(*buffer, std::nullopt);
  EXPECT_EQ(stalled.dropEpisodes(), 2);
  EXPECT_EQ(stalled.framesDropped(), 13 * 4096);
  stalling->set(true);
  ASSERT_FALSE(stalled.close());
  EXPECT_EQ(stalling->length(), 17 * 4096);
}

TEST_F(TrackTest, WriteCutShortKeepsTheCountersAtWhatTheFileHolds) {
  submit(*rampBuffer(4096, 0.0f), 10.0);
  file->writeHalves = true;
  submit(*rampBuffer(4096, 0.0f), 10.0 + 4096 / 48000.0);
  EXPECT_EQ(track.framesWritten(), file->length());
  EXPECT_EQ(file->length(), 4096 + 2048);
  // The half that never landed is missing time: the next buffer finds the
  // track 2048 frames short and fills them, so it stays in step.
  file->writeHalves = false;
  submit(*rampBuffer(4096, 0.0f), 10.0 + 2 * 4096 / 48000.0);
  EXPECT_EQ(file->appendSizes, (std::vector<uint32_t>{4096, 2048, 2048, 4096}));
  EXPECT_EQ(track.framesWritten(), file->length());
}

TEST_F(TrackTest, InputThatStoppedIsFilledWithSilenceOnceAndAJumpIsNot) {
  submit(*rampBuffer(4096, 0.5f), 10.0);
  // A restart: 0.3 s of input never came.
  submit(*rampBuffer(4096, 0.5f), 10.0 + 4096 / 48000.0 + 0.3);
  EXPECT_EQ(file->appendSizes, (std::vector<uint32_t>{4096, 14400, 4096}));
  EXPECT_EQ(file->samples[4096], 0.0f);
  EXPECT_EQ(file->samples[4096 + 14399], 0.0f);
  // Late by stamp jitter only: nothing is filled.
  submit(*rampBuffer(4096, 0.5f), 10.0 + 2 * 4096 / 48000.0 + 0.3 + 0.004);
  EXPECT_EQ(file->appendSizes.size(), 4u);
  // A stamp 20 s on is not lost input.
  submit(*rampBuffer(4096, 0.5f), 40.0);
  EXPECT_EQ(file->appendSizes.size(), 5u);
  const std::string lines = diagnostics.take();
  EXPECT_NE(lines.find("mic input gap of 300.0 ms filled with silence"), std::string::npos) << lines;
  EXPECT_NE(lines.find("not filled"), std::string::npos) << lines;
}

// A device 200 ppm fast loses 4 s of blocks (its ring full for that long, or
// a hole in the server's stream) after more than two minutes of exact stamps. The silence
// that fills the gap is as long as the device's frames of that time, so its
// next block lies where its stamp puts it on the line the earlier blocks make.
// Filled at the nominal rate, it lay 38 frames early, and every later frame
// with it: the drift measured over the whole track fell off the one measured
// before, and the stop made the output again from the first such gap on.
TEST_F(TrackTest, AGapIsFilledAtTheRateTheTracksStampsShow) {
  const double rate = 48000 * (1 + 200e-6);
  auto block = rampBuffer(1024, 0.5f);
  int64_t index = 0;
  for (; index < 130 * 48000; index += 1024) submit(*block, 10.0 + static_cast<double>(index) / rate);
  index += 187 * 1024;  // 3.99 s
  submit(*block, 10.0 + static_cast<double>(index) / rate);
  EXPECT_NEAR(static_cast<double>(track.timelineSoFar().lastFrames), static_cast<double>(index), 1.0);
}

// A writer held for over ten seconds: the blocks the track dropped meanwhile
// are a gap however long, filled, not taken for a stamp that jumped (which
// put every later frame of the track that much early against the other).
TEST_F(TrackTest, AGapOfBlocksTheTrackDroppedIsFilledHoweverLong) {
  auto block = rampBuffer(16384, 0.5f);
  const double seconds = 16384 / 48000.0;
  const uint32_t generation = clock.at(kAfterEveryPause)->generation;
  submit(*block, 10.0);
  // Eight blocks wait in the ring, and the 32 after them (10.9 s) are dropped.
  for (int i = 1; i <= 40; ++i) track.submit(*block, ActiveTime{10.0 + i * seconds, generation});
  ASSERT_EQ(track.framesDropped(), 32 * 16384);
  track.drain();
  submit(*block, 10.0 + 41 * seconds);
  EXPECT_EQ(track.framesWritten(), 42 * 16384);
  EXPECT_NEAR(trackEnd(), 10.0 + 42 * seconds, 1e-9);
}

// An input opened again (a device switch) is placed at its stamp exactly: a
// first block a few ms late gets that much silence, one that begins before the
// track's end loses the time the track already holds. Left to the gap rule,
// the track kept either error against the other track for the rest of the run.
TEST_F(TrackTest, AnInputOpenedAgainIsPlacedAtItsStampAndTheSameInputWithinTheGapRule) {
  submit(*rampBuffer(4096, 0.5f), 10.0);
  submit(*rampBuffer(4096, 0.5f), 10.0 + 4096 / 48000.0 + 0.003, true);  // 144 frames late
  EXPECT_EQ(file->appendSizes, (std::vector<uint32_t>{4096, 144, 4096}));
  EXPECT_NEAR(trackEnd(), 10.0 + 2 * 4096 / 48000.0 + 0.003, 1e-9);
  submit(*rampBuffer(4096, 0.25f), trackEnd() - 0.010, true);  // 480 frames the track holds
  EXPECT_EQ(file->appendSizes.back(), 4096u - 480u);
  EXPECT_FLOAT_EQ(file->samples[file->length() - (4096 - 480)], 0.25f + 480 * 1e-5f);
  // The same input's next blocks keep the gap rule: stamp jitter fills nothing, either way.
  const double end = trackEnd();
  submit(*rampBuffer(4096, 0.5f), end + 0.003);
  submit(*rampBuffer(4096, 0.5f), end + 4096 / 48000.0 - 0.003);
  EXPECT_EQ(file->appendSizes.size(), 6u);
  EXPECT_EQ(file->length(), 4096 + 144 + 4096 + (4096 - 480) + 2 * 4096);
  const std::string lines = diagnostics.take();
  EXPECT_NE(lines.find("mic input began 10.0 ms before the track's end as its stamps settled; its first 10.0 ms "
                       "skipped"), std::string::npos) << lines;
}

// An input opened again whose first blocks the track holds all of (the stream
// before delivered them): each such block goes whole, counted as skipped, and
// the next is placed at its own stamp. Kept, it put every later block late by
// the overlap for the rest of the run. A block of several slots (a low-rate
// device's) loses its whole slots first, then the head of the next.
TEST_F(TrackTest, ABlockTheTrackHoldsAllOfIsSkippedWholeAndTheNextPlacedAtItsStamp) {
  submit(*rampBuffer(4096, 0.5f), 10.0);
  const double end = trackEnd();
  submit(*rampBuffer(2048, 0.25f), end - 0.050, true);  // 2400 frames the track holds
  EXPECT_EQ(file->appendSizes, (std::vector<uint32_t>{4096}));
  submit(*rampBuffer(4096, 0.75f), end - 0.050 + 2048 / 48000.0, true);  // 352 of its frames held
  EXPECT_EQ(file->appendSizes, (std::vector<uint32_t>{4096, 4096 - 352}));
  EXPECT_FLOAT_EQ(file->samples[4096], 0.75f + 352 * 1e-5f);
  submit(*rampBuffer(4096, 0.5f), end - 0.050 + 6144 / 48000.0);
  EXPECT_EQ(file->length(), 4096 + (4096 - 352) + 4096);
  EXPECT_NEAR(trackEnd(), end - 0.050 + 10240 / 48000.0, 1e-9);
  EXPECT_EQ(track.framesSkipped(), 2048 + 352);
  EXPECT_EQ(track.framesDropped(), 0);

  // 24 kHz: a block of 16 384 frames takes two slots; 0.5 s of it held. The
  // converter keeps a few frames back (its delay, 32 frames here).
  const double before = trackEnd();
  const int64_t length = file->length();
  auto low = toneBuffer(24000, 1, Track::kMaxBlockFrames);
  track.prepare(low->format());
  submit(*low, before - 0.5, true);
  EXPECT_NEAR(static_cast<double>(file->length() - length), 2 * Track::kMaxBlockFrames - 24000, 48.0);
  EXPECT_NEAR(trackEnd(), before - 0.5 + Track::kMaxBlockFrames / 24000.0, 48 / 48000.0);
  const std::string lines = diagnostics.take();
  EXPECT_NE(lines.find("mic input began 50.0 ms before the track's end as its stamps settled; all 42.7 ms skipped"),
            std::string::npos) << lines;
}

// The track's first input, while its stamps settle: its first arrival came
// late, so its next blocks are stamped earlier than the frames before them
// say. Nothing of it may be skipped (that audio was captured, and nothing
// else holds its time): the track's start moves back with the stamps. The
// heads are placed once, by the start as it stood half a second in: a
// settling stamp after that still moves the start (drift is measured from
// it), not the head. A track that never held half a second has its head
// where its start ended.
TEST_F(TrackTest, TheFirstInputsSettlingMovesTheStartSkipsNothingAndTheHeadIsFixedHalfASecondIn) {
  submit(*rampBuffer(4096, 0.5f), 10.0, true);
  submit(*rampBuffer(4096, 0.5f), trackEnd() - 0.003, true);  // 144 frames "before the end"
  submit(*rampBuffer(4096, 0.5f), trackEnd() + 0.001, true);  // jitter: nothing filled
  EXPECT_NEAR(*track.timeline().startSeconds, 10.0 - 0.003, 1e-9);
  for (int block = 3; block < 6; ++block) submit(*rampBuffer(4096, 0.5f), trackEnd(), true);
  EXPECT_FALSE(track.timelineSoFar().headSeconds);  // 20 480 frames held before the last block
  submit(*rampBuffer(4096, 0.5f), trackEnd() - 0.001, true);  // 24 576 held: this move still counts
  EXPECT_NEAR(*track.timelineSoFar().headSeconds, 10.0 - 0.004, 1e-9);
  submit(*rampBuffer(4096, 0.5f), trackEnd() - 0.0005, true);
  ASSERT_FALSE(track.close());
  EXPECT_EQ(file->appendSizes, std::vector<uint32_t>(8, 4096));
  EXPECT_NEAR(*track.timeline().startSeconds, 10.0 - 0.0045, 1e-9);
  EXPECT_NEAR(*track.timeline().headSeconds, 10.0 - 0.004, 1e-9);
  const std::string lines = diagnostics.take();
  EXPECT_EQ(lines.find("input gap"), std::string::npos) << lines;
  EXPECT_EQ(lines.find("skipped"), std::string::npos) << lines;

  Track brief{"system", "/tmp/orvane-track-test.sys.caf", failures, writerBell};
  ASSERT_TRUE(brief.open(std::make_shared<MemoryAudioFile>()));
  const uint32_t generation = clock.at(kAfterEveryPause)->generation;
  brief.submit(*rampBuffer(4096, 0.5f), ActiveTime{20.0, generation}, true);
  brief.submit(*rampBuffer(4096, 0.5f), ActiveTime{20.0 + 4096 / 48000.0 - 0.002, generation}, true);
  brief.drain();
  EXPECT_FALSE(brief.timelineSoFar().headSeconds);
  ASSERT_FALSE(brief.close());
  EXPECT_NEAR(*brief.timeline().headSeconds, 20.0 - 0.002, 1e-9);
}

TEST_F(TrackTest, ResumeTopsUpAtMostASecondAndSkipsTheHeadCapturedWhilePaused) {
  submit(*rampBuffer(4096, 0.0f), 100.0);
  // The pause lasted 1.0 s but the next buffer starts 0.99 s after the end of
  // the last one: its first 480 frames were captured while paused.
  pauseFor(1.0);
  submit(*rampBuffer(4096, 0.5f), trackEnd() - 0.01);
  EXPECT_EQ(file->appendSizes, (std::vector<uint32_t>{4096, 4096 - 480}));
  EXPECT_FLOAT_EQ(file->samples[4096], 0.5f + 480 * 1e-5f);
  // Short by 2400 frames after the next resume: topped up.
  pauseFor(5.0);
  submit(*rampBuffer(4096, 0.0f), trackEnd() + 0.05);
  EXPECT_EQ(file->appendSizes[2], 2400u);
  // Three seconds short: exactly one second.
  pauseFor(1.0);
  int64_t before = file->length();
  submit(*rampBuffer(4096, 0.0f), trackEnd() + 3.0);
  EXPECT_EQ(file->length() - before, 48000 + 4096);
  // A buffer wholly inside a pause is dropped, and the next one re-aligns.
  pauseFor(1.0);
  const double end = trackEnd();
  before = file->length();
  submit(*rampBuffer(4096, 0.5f), end - 0.5);
  EXPECT_EQ(file->length(), before);
  submit(*rampBuffer(4096, 0.5f), end + 100 / 48000.0);
  EXPECT_EQ(file->length() - before, 100 + 4096);
}

// A capture thread reads active time while the main thread pauses and
// resumes: each reading pairs the paused total with the generation of the
// same resume, or a block would re-align against the wrong pause.
TEST(ActiveClockTest, AReadingPairsThePausedTotalWithItsOwnGeneration) {
  ActiveClock clock;
  std::atomic<bool> done{false};
  std::atomic<int64_t> readings{0};
  // Pauses of one second each, until the reader has read a good many of them
  // (a loaded machine may leave it no time at first), within the 15 bits of
  // the resume count.
  std::thread control([&] {
    for (int i = 0; i < 30000 && (i < 20000 || readings.load() < 1000); ++i) {
      clock.pause(1000.0 * i);
      clock.resume(1000.0 * i + 1.0);
      if (i % 64 == 0) std::this_thread::yield();
    }
    done = true;
  });
  while (!done) {
    if (const std::optional<ActiveTime> time = clock.at(0.0)) {
      ASSERT_EQ(-time->seconds, static_cast<double>(time->generation));
      readings.fetch_add(1);
    }
  }
  control.join();
  EXPECT_GT(readings, 0);
}

// A block that comes after the pause began (the system audio's mix hands on
// half a second late) belongs where it was stamped: before the pause, it keeps
// the active time and resume count of then; inside it, it is absent while
// paused and the resume's after, for the track to skip.
TEST(ActiveClockTest, AMomentBeforeTheLatestPauseKeepsTheActiveTimeAndResumeCountOfThen) {
  ActiveClock clock;
  clock.pause(10.0);
  clock.resume(12.0);
  clock.pause(20.0);
  ASSERT_TRUE(clock.at(19.5));
  EXPECT_DOUBLE_EQ(clock.at(19.5)->seconds, 17.5);
  EXPECT_EQ(clock.at(19.5)->generation, 1u);
  EXPECT_FALSE(clock.at(20.5));
  clock.resume(23.0);
  EXPECT_DOUBLE_EQ(clock.at(19.5)->seconds, 17.5);
  EXPECT_EQ(clock.at(19.5)->generation, 1u);
  EXPECT_DOUBLE_EQ(clock.at(21.0)->seconds, 16.0);
  EXPECT_EQ(clock.at(21.0)->generation, 2u);
  EXPECT_DOUBLE_EQ(clock.at(23.5)->seconds, 18.5);
  EXPECT_EQ(clock.at(23.5)->generation, 2u);
}

// Nobody wakes the writer for a block that no later block follows (an input
// that stopped): it comes by itself within a round, and its flush comes after
// the appends before it.
TEST_F(TrackTest, TheWriterComesByItselfAndFlushesAfterTheAppends) {
  {
    TrackWriter writer{writerBell, {&track}, 0.2};
    track.submit(*rampBuffer(4096, 0.0f), ActiveTime{10.0});
    waitFor([&] { return track.framesWritten() > 0; }, 3);
    EXPECT_EQ(track.framesWritten(), 4096) << "written without a ring";
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a flush period and more
  }
  ASSERT_FALSE(file->syncedAtLength.empty());
  EXPECT_EQ(file->syncedAtLength.front(), 4096u);
}

// The input's thread may still ask for room while the stop closes the track
// (the stop does not wait for ever for the inputs): the close frees the
// converter only once no room check is under way.
TEST_F(TrackTest, ARoomCheckDuringTheCloseReadsNoFreedConverter) {
  submit(*toneBuffer(44100, 1, 1024), 10.0);
  std::atomic<bool> closed{false};
  std::thread input([&] {
    while (!closed) EXPECT_TRUE(track.hasRoomFor(4096));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_FALSE(track.close());
  closed = true;
  input.join();
}

}  // namespace
}  // namespace orvane
