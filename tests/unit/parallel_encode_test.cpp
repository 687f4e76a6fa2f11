// The AAC encode on several cores: segment plans, seams, what stays with the
// single pass, and write failures in any segment.
#include <fcntl.h>

#include <cmath>

#include "finalize/span_resampler.h"
#include "finalize/parallel_encode.h"
#include "finalize/finisher.h"
#include "finalize/interleave.h"
#include "finalize/temp_paths.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using SampleFn = std::function<float(int64_t)>;

constexpr double kRate = 48000;
constexpr int64_t kAacFrame = 1024;

// On the 16-bit grid, so that the tracks hold exactly these values.
float quantized(double value) { return static_cast<float>(std::lround(value * 32767) / 32768.0); }

SampleFn sweep() {  // 50 Hz up to 8 kHz at 96 s, inside the encoder's band
  return [](int64_t i) {
    const double t = static_cast<double>(i) / kRate;
    return quantized(0.4 * std::sin(2 * M_PI * 50 * 96 / std::log(160.0) * (std::pow(160.0, t / 96) - 1)));
  };
}

// `sample` after `frames` frames of silence.
SampleFn delayed(const SampleFn& sample, int64_t frames) {
  return [sample, frames](int64_t i) { return i < frames ? 0.0f : sample(i - frames); };
}

SampleFn noise(double level) {
  return [level](int64_t i) {
    uint64_t x = static_cast<uint64_t>(i) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return quantized(level * (static_cast<double>(x % 2000001) / 1000000.0 - 1.0));
  };
}

// The length the container states, in frames; -1 when it cannot be read.
int64_t statedFrames(const std::string& file) {
  const std::string out = probe(file, "stream=duration_ts");
  return out == "<failed>" ? -1 : std::stoll(out);
}

double rms(const std::vector<float>& a, const std::vector<float>& b, int64_t first, int64_t frames, int channel) {
  double sum = 0;
  for (int64_t i = first; i < first + frames; ++i) {
    const double d = a[2 * i + channel] - b[2 * i + channel];
    sum += d * d;
  }
  return std::sqrt(sum / static_cast<double>(frames));
}

class ParallelEncodeTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = aacSegmenting(); }
  void TearDown() override { aacSegmenting() = saved_; }

  std::string path(const std::string& name) const { return dir_ / name; }

  static void writeTrack(const std::string& file, int64_t frames, const SampleFn& sample) {
    writeFile(file, AudioSettings{}, frames, [&sample](int64_t i, uint32_t) { return sample(i); }, 8000);
  }

  // The stop's view of a recording `name`: its two temporary tracks hold
  // `micFrames` frames of `mic` and `sysFrames` of `sys`, the system track
  // starting `sysLate` seconds after the microphone.
  struct Recording {
    std::string out;
    TrackSource mic, sys;
    InterleaveOutcome outcome;
  };
  std::unique_ptr<Recording> recording(const std::string& name, int64_t micFrames, const SampleFn& mic,
                                       int64_t sysFrames, const SampleFn& sys, double sysLate = 0) {
    const TempPaths paths(path(name));
    writeTrack(paths.mic, micFrames, mic);
    writeTrack(paths.system, sysFrames, sys);
    return std::make_unique<Recording>(Recording{path(name), {paths.mic, 100.0}, {paths.system, 100.0 + sysLate}, {}});
  }

  static Result<int64_t> finish(Recording& r, double micRatio = 1, double sysRatio = 1) {
    return finishEndedTracks(r.mic, r.sys, micRatio, sysRatio, r.out, outputSettings(false), r.outcome);
  }

  int64_t interleave(Recording& recording, unsigned workers, double micRatio = 1, double sysRatio = 1) {
    aacSegmenting().workers = workers;
    Result<int64_t> written = finish(recording, micRatio, sysRatio);
    EXPECT_TRUE(written.ok()) << (written.ok() ? "" : written.error().description);
    return written.ok() ? *written : -1;
  }

  ScratchDir dir_;
  AacSegmenting saved_{};
};

TEST(SegmentPlan, OneSegmentPerWorkerOnAacFramesNoneShorterThanTheMinimum) {
  const int64_t minute = 60 * 48000;
  struct Case {
    int64_t frames;
    unsigned workers;
    size_t segments;
  } cases[] = {
      {0, 2, 1},           {5 * minute, 2, 1},      {6 * minute, 2, 1},  // two minimums and not a frame more
      {6 * minute + 2048, 2, 2}, {120 * minute, 2, 2}, {120 * minute, 8, 8},
      {10 * minute, 8, 3}, {120 * minute, 1, 1},    {120 * minute, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.frames << " frames, " << c.workers << " workers");
    const auto segments = planSegments(c.frames, 48000, {c.workers, 180, 1024 * 1024});
    ASSERT_EQ(segments.size(), c.segments);
    EXPECT_EQ(segments.front().start, 0);
    EXPECT_EQ(segments.back().end, c.frames);
    for (size_t k = 1; k < segments.size(); ++k) {
      EXPECT_EQ(segments[k].start, segments[k - 1].end);
      EXPECT_EQ(segments[k].start % kAacFrame, 0);
    }
    for (const Segment& s : segments) {
      if (segments.size() > 1) {
        EXPECT_GE(s.end - s.start, 3 * minute);
      }
      // Equal shares: no segment longer than another by more than an AAC frame.
      EXPECT_LE(s.end - s.start, (segments.front().end - segments.front().start) + kAacFrame);
    }
  }
}

// A sweep on the microphone (ending 2.25 s early), noise on the system (250 ms
// late), two segments of 47 s; a second single pass half an AAC frame later
// shows how far apart two encodes of the same audio may be.
TEST_F(ParallelEncodeTest, SeamsCannotBeToldFromASinglePass) {
  const int64_t micFrames = 92 * 48000, sysFrames = 94 * 48000, lead = 12000, total = lead + sysFrames;
  constexpr int64_t kShift = kAacFrame / 2;
  aacSegmenting().minSegmentSeconds = 30;
  auto reference = recording("ref.m4a", micFrames, sweep(), sysFrames, noise(0.2), 0.25);
  auto shifted = recording("alt.m4a", micFrames + kShift, delayed(sweep(), kShift), sysFrames + kShift,
                           delayed(noise(0.2), kShift), 0.25);
  auto parallel = recording("par.m4a", micFrames, sweep(), sysFrames, noise(0.2), 0.25);
  ASSERT_EQ(interleave(*reference, 1), total);
  ASSERT_EQ(interleave(*shifted, 1), total + kShift);
  ASSERT_EQ(interleave(*parallel, 2), total);
  EXPECT_EQ(statedFrames(reference->out), total);
  EXPECT_EQ(statedFrames(parallel->out), total);

  const auto segments = planSegments(total, kRate, aacSegmenting());
  ASSERT_EQ(segments.size(), 2u);
  ASSERT_GT(segments[1].start, aacSegmenting().prerollFrames);
  const std::vector<float> ref = decode(reference->out), par = decode(parallel->out);
  std::vector<float> alt = decode(shifted->out);
  alt.erase(alt.begin(), alt.begin() + 2 * kShift);
  ASSERT_EQ(ref.size(), par.size());
  ASSERT_GE(ref.size(), 2 * size_t(total));
  ASSERT_LT(ref.size(), 2 * size_t(total + kAacFrame));

  // Until the first seam the packets are the single pass's own.
  const int64_t seam = segments[1].start;
  EXPECT_TRUE(std::equal(ref.begin(), ref.begin() + 2 * seam, par.begin()));

  // Around the seam the parallel output is no further from the single pass
  // than two single passes are from each other: a click, a gap or a repeat
  // would be. Over the seconds after it, it is no noisier against the source
  // than the single pass (an encoder whose bit allocation had not settled
  // would be), and over the whole recording it is as close to the source.
  std::vector<float> source(2 * size_t(total));
  for (int64_t i = 0; i < total; ++i) {
    source[2 * i] = i < micFrames ? sweep()(i) : 0.0f;
    source[2 * i + 1] = i >= lead ? noise(0.2)(i - lead) : 0.0f;
  }
  constexpr int64_t kWindow = 256, kAfter = 5 * 48000;
  for (int channel = 0; channel < 2; ++channel) {
    SCOPED_TRACE(testing::Message() << "channel " << channel);
    double apart = 0;
    for (int64_t w = 48000; w + kWindow <= total - 48000; w += kWindow) {
      apart = std::max(apart, rms(alt, ref, w, kWindow, channel));
    }
    for (int64_t w = seam - 4 * kAacFrame; w < seam + 4 * kAacFrame; w += kWindow) {
      EXPECT_LE(rms(par, ref, w, kWindow, channel), apart) << "at frame " << w;
    }
    EXPECT_LT(rms(par, source, seam, kAfter, channel), 1.05 * rms(ref, source, seam, kAfter, channel));
    EXPECT_LT(rms(par, source, 0, total, channel), 1.02 * rms(ref, source, 0, total, channel));
  }
}

// Tracks corrected for drift (+100 and -60 ppm) are corrected the same on
// every core: each segment starts its track's resampler at its own frame.
TEST_F(ParallelEncodeTest, DriftCorrectedTracksAreEncodedOnAllCoresAsInOnePass) {
  aacSegmenting() = {1, 4, 8 * kAacFrame};
  // A sweep on both (noise encodes too differently from one encode to another to compare).
  auto one = recording("one.m4a", 20 * 48000, sweep(), 20 * 48000, delayed(sweep(), 5000), 0.25);
  auto split = recording("two.m4a", 20 * 48000, sweep(), 20 * 48000, delayed(sweep(), 5000), 0.25);
  const int64_t total = 12000 + resampledLength(20 * 48000, 1 - 60e-6);
  ASSERT_EQ(interleave(*one, 1, 1 + 100e-6, 1 - 60e-6), total);
  ASSERT_EQ(interleave(*split, 3, 1 + 100e-6, 1 - 60e-6), total);
  const auto segments = planSegments(total, kRate, aacSegmenting());
  ASSERT_EQ(segments.size(), 3u);
  const std::vector<float> ref = decode(one->out), par = decode(split->out);
  ASSERT_EQ(ref.size(), par.size());
  EXPECT_TRUE(std::equal(ref.begin(), ref.begin() + 2 * segments[1].start, par.begin()));
  EXPECT_FALSE(std::equal(ref.begin() + 2 * segments[1].start, ref.end(), par.begin() + 2 * segments[1].start))
      << "encoded in segments, not left to the single pass";
  for (int channel = 0; channel < 2; ++channel) {
    for (const Segment& s : segments) {
      EXPECT_LT(rms(par, ref, s.start + 4096, s.end - s.start - 8192, channel), 0.01) << channel << " " << s.start;
    }
  }
}

// A file-size limit (in a child) fails write(2) as a full disk does, in one
// segment's spilled packets or in the output itself.
TEST_F(ParallelEncodeTest, AWriteFailureInAnySegmentFailsTheStopAndKeepsTheTemporaryTracks) {
  const int64_t segment = 4 * 48000 + 2048;  // three segments of 4 s at the least
  struct Case {
    std::vector<int> loud;  // segments with noise in them; the rest is silence
    rlim_t limit;           // bytes per file
    const char* failing;
  } cases[] = {
      {{0}, 30000, "a temporary file beside"},
      {{1}, 30000, "a temporary file beside"},
      {{2}, 30000, "a temporary file beside"},
      {{0, 1, 2}, 100000, "cannot write to"},  // every segment's packets fit, all of them do not
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing + std::string(" with noise in segment ") + std::to_string(c.loud.front()));
    fs::remove_all(dir_.dir);
    fs::create_directory(dir_.dir);
    const SampleFn loudSegments = [&c](int64_t i) {
      const bool loud = std::find(c.loud.begin(), c.loud.end(), i / segment) != c.loud.end();
      return loud ? noise(0.5)(i) : 0.0f;
    };
    writeTrack(path("rec.mic.caf"), 3 * segment, loudSegments);
    writeTrack(path("rec.sys.caf"), 3 * segment, [](int64_t) { return 0.0f; });
    const auto finishInChild = [&] {
      dup2(::open(path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
      dup2(::open(path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
      aacSegmenting() = {3, 4, 8 * kAacFrame};
      Recording recording{path("rec.m4a"), {path("rec.mic.caf"), 100.0}, {path("rec.sys.caf"), 100.0}, {}};
      Result<int64_t> written = finish(recording);
      if (written) return 0;
      std::printf("%s", written.error().description.c_str());
      std::fflush(stdout);
      return 2;
    };
    EXPECT_EQ(exitStatusInChild(finishInChild, c.limit), 2);
    const std::string error = bytesOf(path("stdout"));
    EXPECT_NE(error.find(c.failing), std::string::npos) << error;
    EXPECT_NE(error.find("File too large"), std::string::npos) << error;
    EXPECT_TRUE(fs::exists(path("rec.mic.caf")));
    EXPECT_TRUE(fs::exists(path("rec.sys.caf")));
    // Nothing left beside the output but what the stop itself writes.
    for (const auto& entry : fs::directory_iterator(dir_.dir)) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "rec.m4a" || name == "rec.mic.caf" || name == "rec.sys.caf" || name == "stdout" ||
                  name == "stderr" || name == "rec.drift.json")
          << name;
    }
  }
}

}  // namespace
}  // namespace orvane
