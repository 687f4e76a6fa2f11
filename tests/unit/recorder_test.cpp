// Recorder construction, temp naming, pause/resume and the resume top-up.
#include <gtest/gtest.h>

#include <filesystem>

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

TEST_F(RecorderTest, TempPathsReplaceOnlyTheLastExtension) {
  EXPECT_EQ(make("/tmp/x.m4a")->micTempURL, "/tmp/x.mic.caf");
  EXPECT_EQ(make("/tmp/x.m4a")->systemTempURL, "/tmp/x.sys.caf");
  EXPECT_EQ(make("/tmp/a.b.m4a")->micTempURL, "/tmp/a.b.mic.caf");
  EXPECT_EQ(make("/a/b/rec")->systemTempURL, "/a/b/rec.sys.caf");
  EXPECT_EQ(Recorder::siblingPath("/a/b/rec.wav", "drift.json"), "/a/b/rec.drift.json");
}

TEST_F(RecorderTest, FreshRecorderIsIdleAndTouchesNoFile) {
  const auto dir = std::filesystem::temp_directory_path() / "orvane-fresh-recorder";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto recorder = make((dir / "out.m4a").string());
  EXPECT_FALSE(recorder->finished);
  EXPECT_FALSE(recorder->stopRequested);
  EXPECT_FALSE(recorder->keepTemps);
  EXPECT_EQ(recorder->micSlotInFlight.size(), 8u);
  for (bool inFlight : recorder->micSlotInFlight) EXPECT_FALSE(inFlight);
  for (bool inFlight : recorder->sysSlotInFlight) EXPECT_FALSE(inFlight);
  EXPECT_EQ(recorder->monoFormat, AudioFormat::standard(48000, 1));
  EXPECT_EQ(recorder->stereoFormat, AudioFormat::standard(48000, 2));
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  std::filesystem::remove_all(dir);
}

TEST_F(RecorderTest, PauseAndResumeActOnceAndCountGenerations) {
  auto recorder = make("/tmp/p.m4a");
  testing::internal::CaptureStdout();
  recorder->resume();  // not paused: nothing
  recorder->pause();
  recorder->pause();
  EXPECT_FALSE(recorder->activeHostSeconds(100.0).has_value());
  recorder->resume();
  recorder->resume();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "STATUS paused\nSTATUS resumed\n");
  EXPECT_EQ(recorder->realignGeneration, 1);
}

TEST_F(RecorderTest, ActiveTimeLeavesCompletedPausesOut) {
  auto recorder = make("/tmp/p.m4a");
  recorder->pausedHostDurationSeconds = 10.0;
  EXPECT_DOUBLE_EQ(*recorder->activeHostSeconds(110.0), 100.0);
}

TEST_F(RecorderTest, NoPauseOrResumeLineOnceFinished) {
  auto recorder = make("/tmp/p.m4a");
  testing::internal::CaptureStdout();
  recorder->pause();
  recorder->finished = true;
  recorder->resume();  // clears the pause, counts, but stays silent
  recorder->pause();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "STATUS paused\n");
  EXPECT_FALSE(recorder->paused);
  EXPECT_EQ(recorder->realignGeneration, 1);
}

TEST_F(RecorderTest, ResumeTopUpFillsTheShortfallUpToOneSecond) {
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
}

TEST_F(RecorderTest, ResumeTopUpNeverTrimsSkipsUnstartedTracksAndIgnoresFailures) {
  auto recorder = make("/tmp/p.m4a");
  sim::MemoryAudioFile file;
  std::atomic<int64_t> written{96000};
  recorder->padTrackForResume(file, 2.0, 1.0, 0, written);          // ahead
  recorder->padTrackForResume(file, 9.0, std::nullopt, 0, written);  // never started
  EXPECT_TRUE(file.appendSizes.empty());
  file.failWrites = true;
  recorder->padTrackForResume(file, 5.0, 1.0, 0, written);
  EXPECT_EQ(written, 96000);
}

}  // namespace
}  // namespace orvane
