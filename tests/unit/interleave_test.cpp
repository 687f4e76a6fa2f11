// The interleave into the output: head alignment, channel assignment, modes,
// missing and damaged tracks, output encodings, and what the stop completion
// keeps when a track failed to read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "finalize/head_align.h"
#include "recorder/recorder.h"
#include "support/sim_backend.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using Samples = std::vector<float>;

// Values that 16-bit storage keeps exactly, distinct per track and never zero,
// so each output channel can be traced back to its source frame.
float micSample(int64_t i) { return static_cast<float>(i % 1000 + 1) / 32768.0f; }
float sysSample(int64_t i) { return -static_cast<float>(i % 700 + 1) / 32768.0f; }

struct Stereo {
  Samples left, right;
  int64_t frames() const { return static_cast<int64_t>(left.size()); }
};

// Checks `count` frames of one channel against a source track read from `from`
// (or against silence when `sample` is empty).
::testing::AssertionResult channelIs(const Samples& channel, int64_t first, int64_t count,
                                     const std::function<float(int64_t)>& sample, int64_t from = 0) {
  for (int64_t i = 0; i < count; ++i) {
    const float expected = sample ? sample(from + i) : 0.0f;
    if (channel[first + i] != expected) {
      return ::testing::AssertionFailure() << "frame " << first + i << ": " << channel[first + i] << " != "
                                           << expected;
    }
  }
  return ::testing::AssertionSuccess();
}

class InterleaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/orvane-interleave-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::unique_ptr<Recorder> make(const std::string& out, Recorder::Mode mode = Recorder::Mode::both,
                                 bool wav = true) {
    return std::make_unique<Recorder>(path(out), mode, false, wav, backend_, loop_);
  }

  // A temp track as the writers leave it: 16-bit mono CAF at 48 kHz.
  static void writeTrack(const std::string& file, int64_t frames, float (*sample)(int64_t)) {
    AudioSettings settings;
    auto created = AudioFile::createForWriting(file, settings);
    ASSERT_TRUE(created.ok());
    auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 1), 8000);
    for (int64_t done = 0; done < frames;) {
      const auto n = static_cast<uint32_t>(std::min<int64_t>(8000, frames - done));
      for (uint32_t i = 0; i < n; ++i) buffer->floatChannelData(0)[i] = sample(done + i);
      buffer->setFrameLength(n);
      ASSERT_FALSE((*created)->write(*buffer).has_value());
      done += n;
    }
  }

  static Stereo readStereo(const std::string& file) {
    Stereo out;
    auto opened = AudioFile::openForReading(file);
    EXPECT_TRUE(opened.ok()) << file;
    if (!opened) return out;
    EXPECT_EQ((*opened)->processingFormat(), AudioFormat::standard(48000, 2));
    auto buffer = PcmBuffer::create((*opened)->processingFormat(), 8192);
    for (;;) {
      EXPECT_FALSE((*opened)->read(*buffer, 8192).has_value());
      const uint32_t n = buffer->frameLength();
      if (n == 0) break;
      out.left.insert(out.left.end(), buffer->floatChannelData(0), buffer->floatChannelData(0) + n);
      out.right.insert(out.right.end(), buffer->floatChannelData(1), buffer->floatChannelData(1) + n);
    }
    return out;
  }

  // Runs the interleave; returns its length and collects the diagnostics.
  int64_t interleave(Recorder& recorder) {
    ::testing::internal::CaptureStderr();
    Result<int64_t> written = recorder.interleaveTracks();
    diagnostics_ = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(written.ok()) << (written.ok() ? "" : written.error().description);
    return written.ok() ? *written : -1;
  }

  sim::SimBackend backend_{sim::Scenario{}};
  MainLoop loop_;
  std::string dir_;
  std::string diagnostics_;
};

TEST(HeadAlignmentPlan, BoundsAreInclusiveOnTheAlignedSideAndLinesAreSigned) {
  auto plan = planHeadAlignment(10.0, 10.25, 48000);
  EXPECT_EQ(plan.source, LeadSource::mic);
  EXPECT_EQ(plan.frames, 12000);
  EXPECT_EQ(plan.diagnostic, "head-align: system vs mic start 250.0 ms; prepending lead");

  plan = planHeadAlignment(10.0, 9.9996, 48000);
  EXPECT_EQ(plan.source, LeadSource::none);
  EXPECT_EQ(plan.diagnostic, "head-align: start offset -0.4 ms (skipped)");
  plan = planHeadAlignment(1.0, 7.2, 48000);
  EXPECT_EQ(plan.source, LeadSource::none);
  EXPECT_EQ(plan.diagnostic, "head-align: start offset 6200.0 ms (skipped)");

  plan = planHeadAlignment(100.0, 105.0, 48000);
  EXPECT_EQ(plan.source, LeadSource::mic);
  EXPECT_EQ(plan.frames, 240000);
  plan = planHeadAlignment(105.0, 100.0, 48000);
  EXPECT_EQ(plan.source, LeadSource::system);
  EXPECT_EQ(plan.frames, 240000);
  EXPECT_EQ(plan.diagnostic, "head-align: system vs mic start -5000.0 ms; prepending lead");
  plan = planHeadAlignment(0.0, 0.001, 48000);
  EXPECT_EQ(plan.frames, 48);
  EXPECT_EQ(plan.diagnostic, "head-align: system vs mic start 1.0 ms; prepending lead");

  // Halves round away from zero, whichever track leads (5/2048 s at 1024 Hz is 2.5 frames).
  EXPECT_EQ(planHeadAlignment(0.0, 5.0 / 2048, 1024).frames, 3);
  EXPECT_EQ(planHeadAlignment(5.0 / 2048, 0.0, 1024).frames, 3);

  plan = planHeadAlignment(std::nullopt, 3.0, 48000);
  EXPECT_EQ(plan.source, LeadSource::none);
  EXPECT_EQ(plan.diagnostic, "");
}

TEST_F(InterleaveTest, QuarterSecondLeadPutsTheMicrophoneFirstThenBothSideBySide) {
  auto recorder = make("rec.wav");
  writeTrack(recorder->micTempURL, 48000, micSample);
  writeTrack(recorder->systemTempURL, 48000, sysSample);
  recorder->micStartSeconds = 10.0;
  recorder->sysStartSeconds = 10.25;

  EXPECT_EQ(interleave(*recorder), 60000);
  EXPECT_EQ(diagnostics_, "[orvane-capture] head-align: system vs mic start 250.0 ms; prepending lead\n");
  const Stereo out = readStereo(recorder->outputURL);
  ASSERT_EQ(out.frames(), 60000);
  EXPECT_TRUE(channelIs(out.left, 0, 48000, micSample));
  EXPECT_TRUE(channelIs(out.left, 48000, 12000, nullptr));
  EXPECT_TRUE(channelIs(out.right, 0, 12000, nullptr));
  EXPECT_TRUE(channelIs(out.right, 12000, 48000, sysSample));
  EXPECT_EQ(recorder->micTrackRead, Recorder::TrackRead::clean);
  EXPECT_EQ(recorder->sysTrackRead, Recorder::TrackRead::clean);
}

TEST_F(InterleaveTest, SystemLeadsWhenItStartedFirst) {
  auto recorder = make("rec.wav");
  writeTrack(recorder->micTempURL, 20000, micSample);
  writeTrack(recorder->systemTempURL, 30000, sysSample);
  recorder->micStartSeconds = 5.1;
  recorder->sysStartSeconds = 5.0;

  EXPECT_EQ(interleave(*recorder), 4800 + 25200);
  const Stereo out = readStereo(recorder->outputURL);
  ASSERT_EQ(out.frames(), 30000);
  EXPECT_TRUE(channelIs(out.left, 0, 4800, nullptr));
  EXPECT_TRUE(channelIs(out.left, 4800, 20000, micSample));
  EXPECT_TRUE(channelIs(out.left, 24800, 5200, nullptr));
  EXPECT_TRUE(channelIs(out.right, 0, 30000, sysSample));
}

TEST_F(InterleaveTest, OffsetsOutsideTheBoundsWriteNoLead) {
  for (const auto& [micStart, sysStart, line] :
       {std::tuple{10.0, 9.9996, "head-align: start offset -0.4 ms (skipped)"},
        std::tuple{1.0, 7.2, "head-align: start offset 6200.0 ms (skipped)"}}) {
    auto recorder = make("rec.wav");
    writeTrack(recorder->micTempURL, 10000, micSample);
    writeTrack(recorder->systemTempURL, 9000, sysSample);
    recorder->micStartSeconds = micStart;
    recorder->sysStartSeconds = sysStart;
    EXPECT_EQ(interleave(*recorder), 10000);
    EXPECT_EQ(diagnostics_, std::string("[orvane-capture] ") + line + "\n");
    const Stereo out = readStereo(recorder->outputURL);
    EXPECT_TRUE(channelIs(out.left, 0, 10000, micSample));
    EXPECT_TRUE(channelIs(out.right, 0, 9000, sysSample));
    EXPECT_TRUE(channelIs(out.right, 9000, 1000, nullptr));
  }
}

TEST_F(InterleaveTest, FiveSecondsExactlyIsAligned) {
  auto recorder = make("rec.wav");
  writeTrack(recorder->micTempURL, 250000, micSample);
  writeTrack(recorder->systemTempURL, 20000, sysSample);
  recorder->micStartSeconds = 100.0;
  recorder->sysStartSeconds = 105.0;

  EXPECT_EQ(interleave(*recorder), 260000);
  const Stereo out = readStereo(recorder->outputURL);
  ASSERT_EQ(out.frames(), 260000);
  EXPECT_TRUE(channelIs(out.right, 0, 240000, nullptr));
  EXPECT_TRUE(channelIs(out.right, 240000, 20000, sysSample));
  EXPECT_TRUE(channelIs(out.left, 0, 250000, micSample));
}

TEST_F(InterleaveTest, LeadSourceShorterThanTheLeadIsSpentAndThenSilent) {
  auto recorder = make("rec.wav");
  writeTrack(recorder->micTempURL, 20000, micSample);
  writeTrack(recorder->systemTempURL, 30000, sysSample);
  recorder->micStartSeconds = 0.0;
  recorder->sysStartSeconds = 1.0;  // a 48000-frame lead from 20000 frames

  EXPECT_EQ(interleave(*recorder), 50000);
  const Stereo out = readStereo(recorder->outputURL);
  ASSERT_EQ(out.frames(), 50000);
  EXPECT_TRUE(channelIs(out.left, 0, 20000, micSample));
  EXPECT_TRUE(channelIs(out.right, 0, 20000, nullptr));
  EXPECT_TRUE(channelIs(out.left, 20000, 30000, nullptr));
  EXPECT_TRUE(channelIs(out.right, 20000, 30000, sysSample));
}

TEST_F(InterleaveTest, ModesLeaveTheOtherChannelSilentAndNeverAlign) {
  for (auto mode : {Recorder::Mode::micOnly, Recorder::Mode::systemOnly}) {
    auto recorder = make("rec.wav", mode);
    writeTrack(recorder->micTempURL, 12000, micSample);
    writeTrack(recorder->systemTempURL, 17000, sysSample);
    recorder->micStartSeconds = 0.0;
    recorder->sysStartSeconds = 0.5;
    const bool micOnly = mode == Recorder::Mode::micOnly;
    EXPECT_EQ(interleave(*recorder), micOnly ? 12000 : 17000);
    EXPECT_EQ(diagnostics_, "");
    const Stereo out = readStereo(recorder->outputURL);
    if (micOnly) {
      EXPECT_TRUE(channelIs(out.left, 0, 12000, micSample));
      EXPECT_TRUE(channelIs(out.right, 0, 12000, nullptr));
      EXPECT_EQ(recorder->sysTrackRead, Recorder::TrackRead::notOpened);
    } else {
      EXPECT_TRUE(channelIs(out.left, 0, 17000, nullptr));
      EXPECT_TRUE(channelIs(out.right, 0, 17000, sysSample));
      EXPECT_EQ(recorder->micTrackRead, Recorder::TrackRead::notOpened);
    }
  }
}

TEST_F(InterleaveTest, MissingTracksAreSilentAndBothMissingGiveAnEmptyOutput) {
  auto recorder = make("rec.wav");
  writeTrack(recorder->systemTempURL, 9000, sysSample);
  recorder->micStartSeconds = 0.0;  // no alignment without both inputs
  recorder->sysStartSeconds = 0.5;
  EXPECT_EQ(interleave(*recorder), 9000);
  EXPECT_EQ(diagnostics_, "");
  EXPECT_EQ(recorder->micTrackRead, Recorder::TrackRead::missing);
  EXPECT_FALSE(recorder->interleaveReadFailed());
  Stereo out = readStereo(recorder->outputURL);
  EXPECT_TRUE(channelIs(out.left, 0, 9000, nullptr));
  EXPECT_TRUE(channelIs(out.right, 0, 9000, sysSample));

  auto empty = make("none.wav");
  EXPECT_EQ(interleave(*empty), 0);
  ASSERT_TRUE(fs::exists(empty->outputURL));
  EXPECT_EQ(readStereo(empty->outputURL).frames(), 0);
}

TEST_F(InterleaveTest, WavOutputIsSixteenBitStereoAt48kHz) {
  auto recorder = make("rec.wav");
  writeTrack(recorder->micTempURL, 1000, micSample);
  interleave(*recorder);
  SF_INFO info{};
  SNDFILE* file = sf_open(recorder->outputURL.c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  // RIFF WAVE, the extensible header included (what a downgraded RF64 writes).
  const int major = info.format & SF_FORMAT_TYPEMASK;
  EXPECT_TRUE(major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX) << std::hex << info.format;
  EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.samplerate, 48000);
  EXPECT_EQ(info.frames, 1000);
  sf_close(file);
}

TEST_F(InterleaveTest, AacOutputHasTheLongerTracksLength) {
  auto recorder = make("rec.m4a", Recorder::Mode::both, /*wav=*/false);
  writeTrack(recorder->micTempURL, 50000, micSample);
  writeTrack(recorder->systemTempURL, 70001, sysSample);
  EXPECT_EQ(interleave(*recorder), 70001);
  const std::string probe = "ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,channels,duration_ts "
                            "-of csv=p=0 '" + recorder->outputURL + "'";
  FILE* pipe = popen(probe.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[256] = {};
  ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
  pclose(pipe);
  EXPECT_STREQ(line, "aac,2,70001\n");
}

// A FLAC stream stored under the temp track's name, damaged in the middle:
// libsndfile's decoder loses sync part-way through a read and reports an
// error together with the frames decoded before it, which is how a read fails
// mid-file for real. 1000-frame FLAC frames put the failure inside a read.
void writeDamagedTrack(const std::string& file, int64_t frames) {
  const std::string make = "ffmpeg -v error -y -f lavfi -i anoisesrc=r=48000:a=0.5:seed=7:d=" +
                           std::to_string(frames / 48000.0) +
                           " -ac 1 -c:a flac -frame_size 1000 -sample_fmt s16 -f flac '" + file + "'";
  ASSERT_EQ(std::system(make.c_str()), 0) << make;
  std::fstream bytes(file, std::ios::in | std::ios::out | std::ios::binary);
  bytes.seekp(static_cast<std::streamoff>(fs::file_size(file)) / 2);
  const std::string garbage(4000, '\x5a');
  bytes.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
}

TEST_F(InterleaveTest, TrackFailingPartWayEndsThereIsReportedAndMarkedFailed) {
  auto recorder = make("rec.wav");
  writeDamagedTrack(recorder->micTempURL, 200000);
  writeTrack(recorder->systemTempURL, 150000, sysSample);

  EXPECT_EQ(interleave(*recorder), 150000);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(diagnostics_, match,
                                std::regex(R"(\[orvane-capture\] interleave: mic track read failed at frame (\d+): .+\n)")))
      << diagnostics_;
  const int64_t failedAt = std::stoll(match[1]);
  EXPECT_GT(failedAt, 0);
  EXPECT_LT(failedAt, 150000);
  EXPECT_EQ(recorder->micTrackRead, Recorder::TrackRead::failed);
  EXPECT_TRUE(recorder->interleaveReadFailed());
  const Stereo out = readStereo(recorder->outputURL);
  ASSERT_EQ(out.frames(), 150000);
  EXPECT_NE(out.left[static_cast<size_t>(failedAt) - 1], 0.0f);
  EXPECT_TRUE(channelIs(out.left, failedAt, 150000 - failedAt, nullptr));
  EXPECT_TRUE(channelIs(out.right, 0, 150000, sysSample));
}

TEST_F(InterleaveTest, TrackThatExistsButCannotBeOpenedIsFailedNotMissing) {
  auto recorder = make("rec.wav");
  std::ofstream(recorder->micTempURL) << "not audio at all, just bytes left behind";
  writeTrack(recorder->systemTempURL, 5000, sysSample);
  EXPECT_EQ(interleave(*recorder), 5000);
  EXPECT_NE(diagnostics_.find("interleave: mic track could not be opened: "), std::string::npos) << diagnostics_;
  EXPECT_EQ(recorder->micTrackRead, Recorder::TrackRead::failed);
}

TEST_F(InterleaveTest, OutputThatCannotBeCreatedIsAnErrorAndOpensNoInput) {
  auto recorder = make("rec.xyz");
  writeTrack(recorder->micTempURL, 5000, micSample);
  Result<int64_t> written = recorder->interleaveTracks();
  ASSERT_FALSE(written.ok());
  EXPECT_NE(written.error().description.find(".xyz"), std::string::npos);
  EXPECT_EQ(recorder->micTrackRead, Recorder::TrackRead::notOpened);
}

// The stop completion ends the process, so it runs in a child that builds its
// own recorder; the parent checks the exit, the lines and the files left.
struct Completion {
  int status = -1;
  std::string out, err;
};

class StopCompletionTest : public InterleaveTest {
 protected:
  Completion complete(const std::string& output, bool keepTemps) {
    const std::string outPath = path("stdout"), errPath = path("stderr");
    const pid_t child = fork();
    if (child == 0) {
      const int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(outFd, STDOUT_FILENO);
      dup2(errFd, STDERR_FILENO);
      sim::SimBackend backend{sim::Scenario{}};
      MainLoop loop;
      Recorder recorder(path(output), Recorder::Mode::both, false, true, backend, loop);
      recorder.keepTemps = keepTemps;
      recorder.producedAudio = true;
      recorder.stopCompletion();
      _exit(99);  // not reached: the completion ends the process
    }
    Completion result;
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream outFile(outPath), errFile(errPath);
    result.out.assign(std::istreambuf_iterator<char>(outFile), {});
    result.err.assign(std::istreambuf_iterator<char>(errFile), {});
    return result;
  }
};

TEST_F(StopCompletionTest, ReadFailureKeepsTheTemporaryTracksEvenWithoutKeepTemps) {
  const std::string mic = path("rec.mic.caf"), sys = path("rec.sys.caf");
  writeDamagedTrack(mic, 200000);
  writeTrack(sys, 150000, sysSample);
  const Completion done = complete("rec.wav", /*keepTemps=*/false);
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.out, "STATUS stopped " + path("rec.wav") + "\n");
  EXPECT_NE(done.err.find("interleave: mic track read failed at frame "), std::string::npos) << done.err;
  EXPECT_NE(done.err.find("keeping the temporary tracks after a read failure"), std::string::npos) << done.err;
  EXPECT_TRUE(fs::exists(mic));
  EXPECT_TRUE(fs::exists(sys));
  EXPECT_EQ(readStereo(path("rec.wav")).frames(), 150000);
}

TEST_F(StopCompletionTest, CleanTracksAreRemovedUnlessKeepTempsIsSet) {
  for (bool keep : {false, true}) {
    writeTrack(path("rec.mic.caf"), 3000, micSample);
    writeTrack(path("rec.sys.caf"), 2000, sysSample);
    const Completion done = complete("rec.wav", keep);
    EXPECT_EQ(done.status, 0);
    EXPECT_EQ(done.out, "STATUS stopped " + path("rec.wav") + "\n");
    EXPECT_EQ(fs::exists(path("rec.mic.caf")), keep);
    EXPECT_EQ(fs::exists(path("rec.sys.caf")), keep);
  }
}

}  // namespace
}  // namespace orvane
