// The interleave into the output: head alignment, channel assignment, modes,
// missing and damaged tracks, output encodings, and what the stop completion
// keeps when a track failed to read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "finalize/head_align.h"
#include "finalize/interleave.h"
#include "recorder/recorder.h"
#include "support/sim_backend.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using Samples = std::vector<float>;
using Mode = Recorder::Mode;

// Values that 16-bit storage keeps exactly, distinct per track and never zero,
// so each output channel can be traced back to its source frame.
float micSample(int64_t i) { return static_cast<float>(i % 1000 + 1) / 32768.0f; }
float sysSample(int64_t i) { return -static_cast<float>(i % 700 + 1) / 32768.0f; }

// The channel holds `frames` frames of `sample` after `delay` frames of silence, and silence after them.
::testing::AssertionResult channelIs(const Samples& channel, int64_t delay, int64_t frames, float (*sample)(int64_t)) {
  for (int64_t i = 0; i < static_cast<int64_t>(channel.size()); ++i) {
    const float expected = i >= delay && i - delay < frames ? sample(i - delay) : 0.0f;
    if (channel[i] != expected) {
      return ::testing::AssertionFailure() << "frame " << i << ": " << channel[i] << " != " << expected;
    }
  }
  return ::testing::AssertionSuccess();
}

// A temp track as the writers leave it: 16-bit mono CAF at 48 kHz.
void writeTrack(const std::string& file, int64_t frames, float (*sample)(int64_t)) {
  auto created = AudioFile::createForWriting(file, AudioSettings{});
  ASSERT_TRUE(created.ok());
  auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 1), 8000);
  for (int64_t done = 0; done < frames; done += 8000) {
    const auto n = static_cast<uint32_t>(std::min<int64_t>(8000, frames - done));
    for (uint32_t i = 0; i < n; ++i) buffer->floatChannelData(0)[i] = sample(done + i);
    buffer->setFrameLength(n);
    ASSERT_FALSE((*created)->write(*buffer).has_value());
  }
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
  bytes << std::string(4000, '\x5a');
}

struct Stereo {
  Samples left, right;
};

Stereo readStereo(const std::string& file) {
  Stereo out;
  auto opened = AudioFile::openForReading(file);
  EXPECT_TRUE(opened.ok()) << file;
  if (!opened) return out;
  EXPECT_EQ((*opened)->processingFormat(), AudioFormat::standard(48000, 2));
  auto buffer = PcmBuffer::create((*opened)->processingFormat(), 8192);
  while (!(*opened)->read(*buffer, 8192) && buffer->frameLength() > 0) {
    const uint32_t n = buffer->frameLength();
    out.left.insert(out.left.end(), buffer->floatChannelData(0), buffer->floatChannelData(0) + n);
    out.right.insert(out.right.end(), buffer->floatChannelData(1), buffer->floatChannelData(1) + n);
  }
  return out;
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

  // Runs the interleave; returns its length and collects the diagnostics.
  int64_t interleave(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& sys) {
    ::testing::internal::CaptureStderr();
    outcome_ = InterleaveOutcome{};
    Result<int64_t> written = interleaveTracks(mic, sys, path("rec.wav"), outputSettings(true), outcome_);
    diagnostics_ = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(written.ok()) << (written.ok() ? "" : written.error().description);
    return written.ok() ? *written : -1;
  }

  InterleaveOutcome outcome_;
  std::string dir_;
  std::string diagnostics_;
};

TEST(HeadAlignmentPlan, SystemLeadsAtTheNegativeBoundHalvesRoundAwayAndBothStartsAreNeeded) {
  const auto plan = planHeadAlignment(105.0, 100.0, 48000);
  EXPECT_EQ(plan.source, LeadSource::system);
  EXPECT_EQ(plan.frames, 240000);
  EXPECT_EQ(plan.diagnostic, "head-align: system vs mic start -5000.0 ms; prepending lead");
  // 5/2048 s at 1024 Hz is 2.5 frames, whichever track leads.
  EXPECT_EQ(planHeadAlignment(0.0, 5.0 / 2048, 1024).frames, 3);
  EXPECT_EQ(planHeadAlignment(5.0 / 2048, 0.0, 1024).frames, 3);
  EXPECT_EQ(planHeadAlignment(std::nullopt, 3.0, 48000).source, LeadSource::none);
  EXPECT_EQ(planHeadAlignment(std::nullopt, 3.0, 48000).diagnostic, "");
}

// Tracks written (0 frames: none), start times, and where each track lands in the output.
struct Layout {
  Mode mode;
  int64_t micFrames, sysFrames;
  double micStart, sysStart;
  int64_t micDelay, sysDelay;
  const char* line;  // the head-align diagnostic, "" for none
};

TEST_F(InterleaveTest, HeadAlignmentModesAndMissingTracksPlaceEachTrackOnItsChannel) {
  const Layout layouts[] = {
      {Mode::both, 48000, 48000, 10.0, 10.25, 0, 12000, "system vs mic start 250.0 ms; prepending lead"},
      {Mode::both, 20000, 30000, 5.1, 5.0, 4800, 0, "system vs mic start -100.0 ms; prepending lead"},
      {Mode::both, 10000, 9000, 10.0, 9.9996, 0, 0, "start offset -0.4 ms (skipped)"},
      {Mode::both, 10000, 9000, 1.0, 7.2, 0, 0, "start offset 6200.0 ms (skipped)"},
      {Mode::both, 250000, 20000, 100.0, 105.0, 0, 240000, "system vs mic start 5000.0 ms; prepending lead"},
      // A 48000-frame lead from a 20000-frame track: spent, then both side by side.
      {Mode::both, 20000, 30000, 0.0, 1.0, 0, 20000, "system vs mic start 1000.0 ms; prepending lead"},
      {Mode::micOnly, 12000, 17000, 0.0, 0.5, 0, 0, ""},
      {Mode::systemOnly, 12000, 17000, 0.0, 0.5, 0, 0, ""},
      {Mode::both, 0, 9000, 0.0, 0.5, 0, 0, ""},  // no alignment without both inputs
      {Mode::both, 0, 0, 0.0, 0.5, 0, 0, ""},
  };
  for (const Layout& l : layouts) {
    SCOPED_TRACE(testing::Message() << l.micFrames << "/" << l.sysFrames << " frames from " << l.micStart << "/"
                                    << l.sysStart << " s, mode " << int(l.mode));
    if (l.micFrames) writeTrack(path("rec.mic.caf"), l.micFrames, micSample);
    if (l.sysFrames) writeTrack(path("rec.sys.caf"), l.sysFrames, sysSample);
    std::optional<TrackSource> micSource, sysSource;
    if (l.mode != Mode::systemOnly) micSource = TrackSource{path("rec.mic.caf"), l.micStart};
    if (l.mode != Mode::micOnly) sysSource = TrackSource{path("rec.sys.caf"), l.sysStart};
    const int64_t mic = l.mode == Mode::systemOnly ? 0 : l.micFrames;
    const int64_t sys = l.mode == Mode::micOnly ? 0 : l.sysFrames;

    EXPECT_EQ(interleave(micSource, sysSource), std::max(l.micDelay + mic, l.sysDelay + sys));
    EXPECT_EQ(diagnostics_, *l.line ? std::string("[orvane-capture] head-align: ") + l.line + "\n" : "");
    const Stereo out = readStereo(path("rec.wav"));
    EXPECT_EQ(int64_t(out.left.size()), std::max(l.micDelay + mic, l.sysDelay + sys));
    EXPECT_TRUE(channelIs(out.left, l.micDelay, mic, micSample));
    EXPECT_TRUE(channelIs(out.right, l.sysDelay, sys, sysSample));
    EXPECT_EQ(outcome_.mic,
              l.mode == Mode::systemOnly ? TrackRead::notOpened : mic ? TrackRead::clean : TrackRead::missing);
    EXPECT_FALSE(outcome_.readFailed());
    fs::remove_all(dir_);
    fs::create_directory(dir_);
  }
}

// A track that fails part-way ends there: the output keeps what was read,
// and the failure is reported so that the stop keeps the temporary tracks.
TEST_F(InterleaveTest, ReadFailureIsMendedAndReported) {
  const std::string mic = path("rec.mic.caf"), sys = path("rec.sys.caf");
  writeDamagedTrack(mic, 200000);
  writeTrack(sys, 150000, sysSample);
  EXPECT_EQ(interleave(TrackSource{mic, std::nullopt}, TrackSource{sys, std::nullopt}), 150000);
  EXPECT_EQ(outcome_.mic, TrackRead::failed);
  EXPECT_TRUE(outcome_.readFailed());
  const std::string& err = diagnostics_;
  std::smatch match;
  ASSERT_TRUE(std::regex_search(err, match, std::regex(R"(interleave: mic track read failed at frame (\d+): .+\n)")))
      << err;
  const int64_t failedAt = std::stoll(match[1]);
  ASSERT_GT(failedAt, 0);
  ASSERT_LT(failedAt, 150000);
  const Stereo out = readStereo(path("rec.wav"));
  ASSERT_EQ(out.left.size(), 150000u);
  EXPECT_NE(out.left[static_cast<size_t>(failedAt) - 1], 0.0f);
  EXPECT_TRUE(channelIs(Samples(out.left.begin() + failedAt, out.left.end()), 0, 0, nullptr));
  EXPECT_TRUE(channelIs(out.right, 0, 150000, sysSample));
}

}  // namespace
}  // namespace orvane
