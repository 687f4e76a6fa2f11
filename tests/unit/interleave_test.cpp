// The interleave into the output, as the finisher makes it from ended
// tracks: head alignment, channel assignment, modes, missing tracks, a track
// whose read fails part-way, and the echo taken out of the microphone with
// the system audio of the same moments.
#include <sys/syscall.h>

#include <atomic>
#include <cmath>
#include <random>
#include <regex>

#include "finalize/finisher.h"
#include "finalize/interleave.h"
#include "recorder/recorder.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

using Mode = Recorder::Mode;

// A failing disk under one file: while armed, a read of that file from the
// byte `failReadsFrom` on fails with EIO, as a bad sector does; every other
// read goes through to the kernel.
std::atomic<int64_t> failReadsFrom{-1};
std::string failingFile;

bool readFails(int fd, off_t offset) {
  if (failReadsFrom.load() < 0 || offset < failReadsFrom.load()) return false;
  char target[4096];
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
  return n > 0 && std::string(target, static_cast<size_t>(n)) == failingFile;
}

}  // namespace
}  // namespace orvane

extern "C" ssize_t pread64(int fd, void* into, size_t bytes, off_t offset) {
  if (orvane::readFails(fd, offset)) {
    errno = EIO;
    return -1;
  }
  return ::syscall(SYS_pread64, fd, into, bytes, offset);
}
extern "C" ssize_t pread(int fd, void* into, size_t bytes, off_t offset) { return pread64(fd, into, bytes, offset); }

namespace orvane {
namespace {

// Exact in 16 bits, distinct per track and never zero: each output channel traces back to its source frame.
float micSample(int64_t i, uint32_t = 0) { return static_cast<float>(i % 1000 + 1) / 32768.0f; }
float sysSample(int64_t i, uint32_t = 0) { return -static_cast<float>(i % 700 + 1) / 32768.0f; }

// The channel holds `frames` frames of `sample` after `delay` frames of silence, and silence after them.
::testing::AssertionResult channelIs(const std::vector<float>& channel, int64_t delay, int64_t frames,
                                     float (*sample)(int64_t, uint32_t)) {
  for (int64_t i = 0; i < static_cast<int64_t>(channel.size()); ++i) {
    const float expected = i >= delay && i - delay < frames ? sample(i - delay, 0) : 0.0f;
    if (channel[i] != expected) {
      return ::testing::AssertionFailure() << "frame " << i << ": " << channel[i] << " != " << expected;
    }
  }
  return ::testing::AssertionSuccess();
}

// Runs the interleave into rec.wav; returns its length, and the diagnostics in `err`.
int64_t interleave(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& sys,
                   const ScratchDir& dir, InterleaveOutcome& outcome, std::string& err, bool cancelEcho = false) {
  Result<int64_t> written = Error{};
  err = stderrOf([&] {
    written = finishEndedTracks(mic, sys, 1, 1, dir / "rec.wav", outputSettings(true), outcome, true, cancelEcho);
  });
  EXPECT_TRUE(written.ok()) << (written.ok() ? "" : written.error().description);
  return written.ok() ? *written : -1;
}

// Tracks written (0 frames: none), start times, where each track lands in the output, and the head-align
// diagnostic ("" for none).
struct Layout {
  Mode mode;
  int64_t micFrames, sysFrames;
  double micStart, sysStart;
  int64_t micDelay, sysDelay;
  const char* line;
};

TEST(Interleave, HeadAlignmentModesAndMissingTracksPlaceEachTrackOnItsChannel) {
  const Layout layouts[] = {
      {Mode::both, 48000, 48000, 10.0, 10.25, 0, 12000, "system vs mic start 250.0 ms; prepending lead"},
      {Mode::both, 20000, 30000, 5.1, 5.0, 4800, 0, "system vs mic start -100.0 ms; prepending lead"},
      {Mode::both, 10000, 9000, 10.0, 9.9996, 0, 0, "start offset -0.4 ms (skipped)"},
      {Mode::both, 10000, 9000, 1.0, 7.2, 0, 0, "start offset 6200.0 ms (skipped)"},
      {Mode::both, 250000, 20000, 100.0, 105.0, 0, 240000, "system vs mic start 5000.0 ms; prepending lead"},
      // A 48000-frame lead from a 20000-frame track: spent, then both side by side.
      {Mode::both, 20000, 30000, 0.0, 1.0, 0, 20000, "system vs mic start 1000.0 ms; prepending lead"},
      {Mode::systemOnly, 12000, 17000, 0.0, 0.5, 0, 0, ""},  // mic-only: the recovery runs
      {Mode::both, 0, 9000, 0.0, 0.5, 0, 0, ""},             // no alignment without both inputs
  };
  for (const Layout& l : layouts) {
    SCOPED_TRACE(testing::Message() << l.micFrames << "/" << l.sysFrames << " frames from " << l.micStart << "/"
                                    << l.sysStart << " s, mode " << int(l.mode));
    ScratchDir dir;
    if (l.micFrames) writeFile(dir / "rec.mic.caf", AudioSettings{}, l.micFrames, micSample, 8000);
    if (l.sysFrames) writeFile(dir / "rec.sys.caf", AudioSettings{}, l.sysFrames, sysSample, 8000);
    std::optional<TrackSource> micSource, sysSource;
    if (l.mode != Mode::systemOnly) micSource = TrackSource{dir / "rec.mic.caf", l.micStart};
    if (l.mode != Mode::micOnly) sysSource = TrackSource{dir / "rec.sys.caf", l.sysStart};
    const int64_t mic = l.mode == Mode::systemOnly ? 0 : l.micFrames;
    const int64_t sys = l.mode == Mode::micOnly ? 0 : l.sysFrames;

    InterleaveOutcome outcome;
    std::string err;
    EXPECT_EQ(interleave(micSource, sysSource, dir, outcome, err), std::max(l.micDelay + mic, l.sysDelay + sys));
    EXPECT_EQ(err, *l.line ? std::string("[orvane-capture] head-align: ") + l.line + "\n" : "");
    const auto out = readAll(dir / "rec.wav");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(int64_t(out[0].size()), std::max(l.micDelay + mic, l.sysDelay + sys));
    EXPECT_TRUE(channelIs(out[0], l.micDelay, mic, micSample));
    EXPECT_TRUE(channelIs(out[1], l.sysDelay, sys, sysSample));
    EXPECT_EQ(outcome.mic, l.mode == Mode::systemOnly ? TrackRead::notOpened : mic ? TrackRead::clean : TrackRead::missing);
    EXPECT_FALSE(outcome.readFailed());
  }
}

// Regression: a track that fails part-way ends there, the output keeps what was
// read, and the failure is reported (so the stop keeps the tracks); when the
// track is known to hold audio, the output fails instead.
TEST(Interleave, ReadFailureIsMendedAndReported) {
  ScratchDir dir;
  const std::string mic = dir / "rec.mic.caf", sys = dir / "rec.sys.caf";
  writeFile(mic, AudioSettings{}, 150000, micSample, 8000);
  writeFile(sys, AudioSettings{}, 150000, sysSample, 8000);
  failingFile = mic;
  failReadsFrom = static_cast<int64_t>(std::filesystem::file_size(mic) / 2);

  InterleaveOutcome outcome;
  std::string err;
  EXPECT_EQ(interleave(TrackSource{mic, std::nullopt}, TrackSource{sys, std::nullopt}, dir, outcome, err), 150000);
  EXPECT_EQ(outcome.mic, TrackRead::failed);
  EXPECT_TRUE(outcome.readFailed());
  std::smatch match;
  ASSERT_TRUE(std::regex_search(err, match, std::regex(R"(interleave: mic track read failed at frame (\d+): .+\n)")))
      << err;
  const int64_t failedAt = std::stoll(match[1]);
  ASSERT_GT(failedAt, 0);
  ASSERT_LT(failedAt, 150000);
  const auto out = readAll(dir / "rec.wav");
  ASSERT_EQ(out[0].size(), 150000u);
  EXPECT_NE(out[0][static_cast<size_t>(failedAt) - 1], 0.0f);
  EXPECT_TRUE(channelIs(std::vector<float>(out[0].begin() + failedAt, out[0].end()), 0, 0, nullptr));
  EXPECT_TRUE(channelIs(out[1], 0, 150000, sysSample));

  // A track known to hold audio that fails so fails the output: the earlier
  // file at the path stays as it was and no partial file is left.
  Result<int64_t> failed = finishEndedTracks(TrackSource{mic, std::nullopt, true}, TrackSource{sys, std::nullopt}, 1, 1,
                                             dir / "rec.wav", outputSettings(true), outcome);
  ASSERT_FALSE(failed.ok());
  EXPECT_NE(failed.error().description.find("interleave: mic track read failed at frame"), std::string::npos);
  failReadsFrom = -1;
  EXPECT_EQ(readAll(dir / "rec.wav"), out);
  EXPECT_FALSE(std::filesystem::exists(dir / "rec.partial.wav"));
}

// The system track starts 0.5 s before the microphone, which hears it 60 ms
// later: the echo is taken out only if each microphone frame meets the
// system audio of its own moment, the lead included. The system channel, the
// output's length and the microphone track stay as they were.
TEST(Interleave, VoiceProcessingMeetsEachMicrophoneFrameWithTheSystemAudioOfItsMoment) {
  constexpr int64_t kLead = 24000, kEcho = 2880, kFrames = 16 * 48000;
  std::mt19937 random(5);
  std::normal_distribution<float> noise(0, 0.03f);
  std::vector<float> far(kFrames);
  float low = 0;
  for (int64_t i = 0; i < kFrames; ++i) {  // low noise in bursts, exact in 16 bits
    low = 0.9f * low + noise(random) * float(std::fabs(std::sin(i * 3.1 / 48000)));
    far[i] = std::round(low * 32768) / 32768;
  }
  auto heard = [&](int64_t j, uint32_t) { return j + kLead >= kEcho ? 0.316f * far[j + kLead - kEcho] : 0.0f; };
  ScratchDir dir;
  writeFile(dir / "rec.sys.caf", AudioSettings{}, kFrames, [&](int64_t i, uint32_t) { return far[i]; }, 8000);
  writeFile(dir / "rec.mic.caf", AudioSettings{}, kFrames - kLead, heard, 8000);
  InterleaveOutcome outcome;
  std::string err;
  EXPECT_EQ(interleave(TrackSource{dir / "rec.mic.caf", 10.5}, TrackSource{dir / "rec.sys.caf", 10.0}, dir, outcome,
                       err, true), kFrames);
  EXPECT_EQ(err, "[orvane-capture] head-align: system vs mic start -500.0 ms; prepending lead\n");
  const auto out = readAll(dir / "rec.wav");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1], far);
  double echo = 0, left = 0;
  for (int64_t i = kLead + 6 * 48000; i < kFrames; ++i) {
    echo += std::pow(heard(i - kLead, 0), 2);
    left += std::pow(out[0][i], 2);
  }
  EXPECT_GT(10 * std::log10(echo / left), 15);
  const auto track = readAll(dir / "rec.mic.caf");
  for (int64_t j = 0; j < kFrames - kLead; j += 4801) ASSERT_NEAR(track[0][j], heard(j, 0), 1 / 32768.0) << j;
}

}  // namespace
}  // namespace orvane
