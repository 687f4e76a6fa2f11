// The drift resampler's numeric rules, the rate measurement, the correction
// threshold and the sidecar.
#include <nlohmann/json.hpp>

#include "finalize/drift.h"
#include "finalize/span_resampler.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

// `source` through the resampler as an ended track at `ratio`, read in chunks of `chunk` frames.
std::vector<float> resample(const std::vector<float>& source, double ratio, uint32_t chunk = 8192) {
  size_t next = 0;
  SpanResampler resampler(
      [&](float* into, uint32_t frames) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(frames, source.size() - next));
        std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(next), n, into);
        next += n;
        return n;
      },
      [&](int64_t frame) {
        next = static_cast<size_t>(frame);
        return true;
      });
  resampler.end(static_cast<int64_t>(source.size()), ratio);
  std::vector<float> out, block(chunk);
  while (const uint32_t made = resampler.read(block.data(), chunk)) {
    out.insert(out.end(), block.begin(), block.begin() + made);
  }
  return out;
}

std::vector<float> ramp(size_t frames) {
  std::vector<float> samples;
  for (size_t i = 0; i < frames; ++i) samples.push_back(static_cast<float>(i % 1000) / 1000.0f);
  return samples;
}

TEST(Resampler, RatioOneCopiesExactlyLengthsRoundHalfAwayAndTheEndIsHeld) {
  const auto source = ramp(8192 * 4);
  EXPECT_EQ(resample(source, 1.0, 5000), source);

  EXPECT_EQ(resampledLength(480000, 1.00001), 479995);
  EXPECT_EQ(resampledLength(480000, 0.99999), 480005);
  for (double ratio : {1.00001, 0.99999}) {
    EXPECT_EQ(static_cast<int64_t>(resample(ramp(480000), ratio).size()), resampledLength(480000, ratio));
  }

  auto ending = ramp(10000);
  ending.back() = 0.75f;
  const auto stretched = resample(ending, 0.5);  // the last output lies half a frame beyond the source
  ASSERT_EQ(stretched.size(), 20000u);
  EXPECT_EQ(stretched.front(), ending.front());
  EXPECT_EQ(stretched.back(), 0.75f);
}

TEST(Resampler, InterpolatesBetweenNeighboursWithoutDriftingOverLongRuns) {
  std::vector<float> source;
  for (int i = 0; i < 600000; ++i) source.push_back(static_cast<float>(i) * 1e-6f);
  const double ratio = 1.00002;
  const auto out = resample(source, ratio, 7777);
  // A linear ramp resamples to the ramp at ratio × i, even hundreds of thousands of frames in.
  for (int64_t i : {1, 4097, 300001, 599980}) {
    EXPECT_NEAR(out[static_cast<size_t>(i)], ratio * static_cast<double>(i) * 1e-6, 2e-7) << i;
  }
}

// --- measurement, correction and sidecar

class DriftTest : public testing::Test {
 protected:
  static TrackTimeline timeline(double span, int64_t frames) { return {10.0, 100, 10.0 + span, 100 + frames, 10.0}; }
  // Applies the compensation; returns its diagnostics.
  std::string apply(const TrackTimeline& mic, const TrackTimeline& sys = {}) {
    return stderrOf([&] { applyDriftCompensation(paths, mic, sys); });
  }
  nlohmann::json sidecar() { return nlohmann::json::parse(std::ifstream(paths.sidecar)); }

  ScratchDir dir;
  TempPaths paths{dir / "call.m4a"};
};

TEST_F(DriftTest, SpanBoundsAndPlausibilityDecideWhatIsMeasured) {
  struct Case { double span; int64_t frames; bool measured; };
  const Case cases[] = {
      {119.999, 5760000, false},                              // under 120 s
      {120.0, 5760000, true},                                 // exactly 120 s
      {120.0, static_cast<int64_t>(120 * 48096), true},       // exactly 2000 ppm
      {120.0, static_cast<int64_t>(120 * 48096) + 1, false},  // just over
      {120.0, 0, false},
  };
  for (const Case& c : cases) {
    apply(timeline(c.span, c.frames));
    EXPECT_EQ(!sidecar()["mic_measured_hz"].is_null(), c.measured) << c.span << " " << c.frames;
  }
  // A short microphone-only run: nothing measured, the nulls and window recorded. (Tracks measured and
  // corrected, and the figures in the sidecar: the drift end-to-end run.)
  EXPECT_EQ(apply(timeline(60.0, 2880000)), "[orvane-capture] drift: not measured (recovery or span < 120s)\n");
  auto json = sidecar();
  EXPECT_EQ(json.size(), 12u);
  EXPECT_EQ(json["issue"], "ZEL-352");
  EXPECT_TRUE(json["nominal_hz"].is_number_integer());
  for (const char* key : {"mic_measured_hz", "system_measured_hz", "channel_drift_ppm"}) EXPECT_TRUE(json[key].is_null());
  EXPECT_EQ(json["system_window_frames"], 0);
  EXPECT_EQ(json["mic_window_frames"], 2880000);
  EXPECT_EQ(json["mic_compensated"], false);
}

// A sidecar that the disk cuts short (a file size limit, in a child) is not
// left torn: there is none.
TEST_F(DriftTest, ASidecarCutShortIsNotLeft) {
  const auto write = [&] { return applyDriftCompensation(paths, timeline(60.0, 2880000), {}), 0; };
  EXPECT_EQ(exitStatusInChild(write, 100), 0);
  EXPECT_FALSE(std::filesystem::exists(paths.sidecar)) << std::filesystem::file_size(paths.sidecar) << " bytes";
}

TEST_F(DriftTest, CorrectionThresholdAndTracksTooShort) {
  writeFile(paths.mic, linearPCM16Settings(48000, 1), 1, [](int64_t, uint32_t) { return 0.5f; });
  const std::string& src = paths.mic;
  EXPECT_EQ(stderrOf([&] {
              EXPECT_EQ(correctTrack(src, 48000.2, 48000, "mic"), 1.0);
              EXPECT_EQ(correctTrack(src, 48000.24, 48000, "mic"), 1.0);     // computes just under 5.0
              EXPECT_EQ(correctTrack(src, 48000.25, 48000, "system"), 1.0);  // one frame: none
              EXPECT_EQ(correctTrack(dir / "missing.caf", 48010.0, 48000, "mic"), 1.0);
            }),
            "[orvane-capture] drift-correct mic: 4.2 ppm below threshold, skipped\n"
            "[orvane-capture] drift-correct mic: 5.0 ppm below threshold, skipped\n"
            "[orvane-capture] drift-correct system: failed (source too short to resample), using raw temp\n");
  writeFile(paths.system, linearPCM16Settings(48000, 1), 480000, [](int64_t, uint32_t) { return 0.5f; });
  EXPECT_EQ(stderrOf([&] { EXPECT_DOUBLE_EQ(correctTrack(paths.system, 48000.48, 48000, "system"), 1.00001); }),
            "[orvane-capture] drift-correct system: 10.0 ppm \u2192 479995 frames\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "call.sys.corrected.caf")) << "corrected in the output, no copy";
}

}  // namespace
}  // namespace orvane
