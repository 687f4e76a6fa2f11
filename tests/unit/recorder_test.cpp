// Recorder construction, temp naming, pause/resume, the resume top-up and the periodic flush.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/runtime/host_clock.h"
#include "support/memory_audio_file.h"
#include "support/sim_backend.h"
#include "recorder/recorder.h"

namespace orvane {
namespace {

class RecorderTest : public testing::Test {
 protected:
  sim::SimBackend backend{sim::Scenario{}};
  MainLoop loop;
  std::unique_ptr<Recorder> make(const std::string& out, Recorder::Mode mode = Recorder::Mode::both) {
    return std::make_unique<Recorder>(out, mode, false, false, backend, loop);
  }
};

TEST_F(RecorderTest, TempPathsReplaceOnlyTheLastExtensionAndConstructionCreatesNothing) {
  EXPECT_EQ(make("/tmp/x.m4a")->micTempURL, "/tmp/x.mic.caf");
  EXPECT_EQ(make("/tmp/x.m4a")->systemTempURL, "/tmp/x.sys.caf");
  EXPECT_EQ(make("/tmp/a.b.m4a")->micTempURL, "/tmp/a.b.mic.caf");
  EXPECT_EQ(make("/a/b/rec")->systemTempURL, "/a/b/rec.sys.caf");
  EXPECT_EQ(Recorder::siblingPath("/a/b/rec.wav", "drift.json"), "/a/b/rec.drift.json");
  const auto dir = std::filesystem::temp_directory_path() / "orvane-fresh-recorder";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  make((dir / "out.m4a").string());
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  std::filesystem::remove_all(dir);
}

TEST_F(RecorderTest, PauseAndResumeActOnceCountGenerationsAndGoQuietOnceFinished) {
  auto recorder = make("/tmp/p.m4a");
  testing::internal::CaptureStdout();
  recorder->resume();  // not paused: nothing
  recorder->pause();
  recorder->pause();
  EXPECT_FALSE(recorder->activeHostSeconds(100.0).has_value());
  recorder->resume();
  recorder->resume();
  recorder->pause();
  recorder->finished = true;
  recorder->resume();  // clears the pause, counts, but stays silent
  recorder->pause();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "STATUS paused\nSTATUS resumed\nSTATUS paused\n");
  EXPECT_FALSE(recorder->paused);
  EXPECT_EQ(recorder->realignGeneration, 2);
  recorder->pausedHostDurationSeconds = 10.0;
  EXPECT_DOUBLE_EQ(*recorder->activeHostSeconds(110.0), 100.0) << "completed pauses are left out";
}

TEST_F(RecorderTest, ResumeTopUpFillsTheShortfallUpToOneSecondAndNeverTrims) {
  auto recorder = make("/tmp/p.m4a");
  sim::MemoryAudioFile file;
  std::atomic<int64_t> written{48000};
  // Track started at 1.0 s with 48000 frames present; the next buffer is at 2.05 s: 2400 short.
  recorder->padTrackForResume(file, 2.05, 1.0, 0, written);
  EXPECT_EQ(file.appendSizes, std::vector<uint32_t>{2400});
  EXPECT_EQ(written, 50400);
  // Three seconds short: exactly one second is inserted.
  recorder->padTrackForResume(file, 4.05 + 3.0, 1.0, 0, written);
  EXPECT_EQ(file.appendSizes.back(), 48000u);
  for (float sample : file.samples) ASSERT_EQ(sample, 0.0f);
  written = 96000;
  file.appendSizes.clear();
  EXPECT_EQ(recorder->padTrackForResume(file, 2.0, 1.0, 0, written), 48000);  // ahead: reported, not trimmed
  EXPECT_EQ(recorder->padTrackForResume(file, 9.0, std::nullopt, 0, written), 0);  // never started
  EXPECT_TRUE(file.appendSizes.empty());
  file.failWrites = true;
  recorder->padTrackForResume(file, 5.0, 1.0, 0, written);
  EXPECT_EQ(written, 96000) << "a failed top-up adds nothing";
}

// The microphone writer end to end on its queue: buffers of a ramp, a pause
// whose length does not match the audio dropped for it, then the first buffer
// after the resume.
class ResumeRealign : public RecorderTest {
 protected:
  void SetUp() override {
    recorder = make("/tmp/realign.m4a", Recorder::Mode::micOnly);
    recorder->micFile = file;
    testing::internal::CaptureStdout();  // LEVEL lines
  }
  void TearDown() override { testing::internal::GetCapturedStdout(); }

  // A 4096-frame buffer whose samples count on from `firstValue`, stamped at host seconds `at`.
  void deliver(double at, float firstValue) {
    auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 1), kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) buffer->floatChannelData(0)[i] = firstValue + i * 1e-5f;
    buffer->setFrameLength(kFrames);
    recorder->writeMicAudio(*buffer, AudioTime{HostClock::hostTimeForSeconds(at), true});
    recorder->micWriterQueue.drain();
  }
  void pauseFor(double seconds) {
    recorder->pausedHostDurationSeconds = recorder->pausedHostDurationSeconds + seconds;
    ++recorder->realignGeneration;
  }

  static constexpr uint32_t kFrames = 4096;
  std::shared_ptr<sim::MemoryAudioFile> file = std::make_shared<sim::MemoryAudioFile>();
  std::unique_ptr<Recorder> recorder;
};

TEST_F(ResumeRealign, HeadCapturedWhilePausedIsSkipped) {
  deliver(100.0, 0.0f);
  // The pause lasted 1.0 s but the next buffer starts 0.99 s after the end of
  // the last one: its first 480 frames were captured while paused.
  pauseFor(1.0);
  deliver(100.0 + kFrames / 48000.0 + 0.99, 0.5f);
  EXPECT_EQ(file->appendSizes, (std::vector<uint32_t>{kFrames, kFrames - 480}));
  EXPECT_FLOAT_EQ(file->samples[kFrames], 0.5f + 480 * 1e-5f);
  // The counters describe the frame that now follows the track's end.
  EXPECT_EQ(recorder->micLastFrames, kFrames);
  EXPECT_NEAR(*recorder->micLastHostSeconds, 100.0 + kFrames / 48000.0, 1e-9);
  // Later buffers are written whole.
  deliver(100.0 + 2 * kFrames / 48000.0 + 1.0, 0.0f);
  EXPECT_EQ(file->appendSizes.back(), kFrames);
}

TEST_F(ResumeRealign, ShortfallIsCountedFromTheLastBufferNotTheStart) {
  // A device 100 ppm fast: after 60 s its track is 288 frames ahead of the
  // nominal rate. A resume that lost 240 frames must put back 240, not drop
  // 48 against a timeline the device never kept.
  const double deviceRate = 48000 * (1 + 100e-6);
  const int buffers = static_cast<int>(60 * deviceRate / kFrames);
  for (int i = 0; i < buffers; ++i) deliver(100.0 + i * kFrames / deviceRate, 0.0f);
  pauseFor(2.0);
  deliver(100.0 + buffers * kFrames / deviceRate + 2.0 + 240 / deviceRate, 0.0f);
  EXPECT_EQ(file->appendSizes[static_cast<size_t>(buffers)], 240u);
  EXPECT_EQ(file->appendSizes.back(), kFrames);
}

TEST_F(ResumeRealign, BufferWhollyInsideThePauseIsDroppedAndTheNextRealigns) {
  deliver(100.0, 0.0f);
  pauseFor(1.0);
  // Stamped 0.5 s into the pause: none of it belongs to the track.
  deliver(100.0 + kFrames / 48000.0 + 0.5, 0.5f);
  EXPECT_EQ(file->appendSizes, std::vector<uint32_t>{kFrames});
  deliver(100.0 + kFrames / 48000.0 + 1.0 + 100 / 48000.0, 0.5f);
  EXPECT_EQ(file->appendSizes, (std::vector<uint32_t>{kFrames, 100, kFrames}));
}

// A flush tick syncs both tracks on their writer queues, so each sync follows
// the appends queued before it.
TEST_F(RecorderTest, FlushTickSyncsBothTracksAfterTheirQueuedAppends) {
  auto recorder = make("/tmp/orvane-flush-test.m4a");
  auto mic = std::make_shared<sim::MemoryAudioFile>();
  auto system = std::make_shared<sim::MemoryAudioFile>();
  recorder->micFile = mic;
  recorder->systemFile = system;
  auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 1), 4800);
  buffer->setFrameLength(4800);
  recorder->micWriterQueue.async([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // an append still under way at the tick
    mic->write(*buffer);
  });
  recorder->flushTemporaryTracks();
  recorder->fsyncQueue.drain();
  recorder->micWriterQueue.drain();
  recorder->sysWriterQueue.drain();
  EXPECT_EQ(mic->syncedAtLength, std::vector<size_t>{4800});
  EXPECT_EQ(system->syncedAtLength, std::vector<size_t>{0});
}

// System chunks without a time stamp are written and counted, but only timed
// chunks set the (host seconds, frames) pairs that the drift measurement reads;
// while paused an untimed chunk is dropped like any other.
TEST_F(RecorderTest, UntimedSystemChunksAreWrittenButLeaveTheTimePairsAlone) {
  auto recorder = make("/tmp/orvane-untimed-test.m4a");
  auto system = std::make_shared<sim::MemoryAudioFile>();
  recorder->systemFile = system;
  constexpr uint32_t kFrames = 4800;
  auto chunk = PcmBuffer::create(AudioFormat::standard(48000, 1), kFrames);
  chunk->setFrameLength(kFrames);
  auto write = [&](std::optional<double> seconds) {
    recorder->writeSystemAudio(*chunk, seconds);
    recorder->sysWriterQueue.drain();
  };
  write(10.0);
  write(std::nullopt);
  write(10.2);
  write(std::nullopt);
  EXPECT_EQ(system->length(), 4 * kFrames);
  EXPECT_EQ(recorder->sysFramesWritten.load(), 4 * kFrames);
  EXPECT_EQ(recorder->sysStartSeconds, 10.0);
  EXPECT_EQ(recorder->sysStartFrames, 0);
  EXPECT_EQ(recorder->sysLastHostSeconds, 10.2);
  EXPECT_EQ(recorder->sysLastFrames, 2 * kFrames);
  recorder->paused = true;
  write(std::nullopt);
  EXPECT_EQ(system->length(), 4 * kFrames);
}

}  // namespace
}  // namespace orvane
