// The drift resampler's numeric rules, the rate measurement, the correction
// threshold and the sidecar.
#include <fstream>

#include <nlohmann/json.hpp>

#include "finalize/drift.h"
#include "finalize/linear_resampler.h"
#include "support/memory_audio_file.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

using sim::MemoryAudioFile;

struct Resampled {
  Result<int64_t> frames;
  std::shared_ptr<MemoryAudioFile> out;
};

Resampled resample(MemoryAudioFile& source, double ratio, std::optional<Error> closeError = std::nullopt) {
  auto out = std::make_shared<MemoryAudioFile>();
  out->closeError = closeError;
  auto create = [&]() -> Result<std::shared_ptr<AudioFile>> { return std::shared_ptr<AudioFile>(out); };
  return {resampleLinearMono(source, create, ratio), out};
}

MemoryAudioFile ramp(size_t frames) {
  MemoryAudioFile file;
  for (size_t i = 0; i < frames; ++i) file.samples.push_back(static_cast<float>(i % 1000) / 1000.0f);
  return file;
}

TEST(LinearResampler, RatioOneCopiesExactlyLengthsRoundHalfAwayTheEndIsHeldAndAReadFailureEndsThePassFirst) {
  auto source = ramp(8192 * 4);
  auto copy = resample(source, 1.0);
  ASSERT_TRUE(copy.frames);
  EXPECT_EQ(copy.out->samples, source.samples);
  EXPECT_EQ(copy.out->appendSizes, (std::vector<uint32_t>(4, 8192))) << "no empty tail";
  EXPECT_TRUE(copy.out->closed) << "the copy's header is written before the interleave reads it";
  auto again = ramp(8192);
  auto unclosed = resample(again, 1.0, Error{"sim", 28, "no space left on device"});
  ASSERT_FALSE(unclosed.frames) << "a copy whose close failed is a failed copy";
  EXPECT_EQ(unclosed.frames.error().code, 28);

  EXPECT_EQ(resampledLength(480000, 1.00001), 479995);
  EXPECT_EQ(resampledLength(480000, 0.99999), 480005);
  for (double ratio : {1.00001, 0.99999}) {
    auto long_ = ramp(480000);
    auto result = resample(long_, ratio);
    ASSERT_TRUE(result.frames);
    EXPECT_EQ(static_cast<int64_t>(result.out->samples.size()), result.frames.value());
    EXPECT_EQ(result.frames.value(), resampledLength(480000, ratio));
  }

  source = ramp(10000);
  source.samples.back() = 0.75f;
  auto stretched = resample(source, 0.5);  // the last output lies half a frame beyond the source
  ASSERT_TRUE(stretched.frames);
  EXPECT_EQ(stretched.out->samples.front(), source.samples.front());
  EXPECT_EQ(stretched.out->samples.back(), 0.75f);

  // A read failure part-way finishes the pass, then fails. (A source too short: the correction cases.)
  source = ramp(100000);
  source.failReadsFrom = 8192 * 3;
  auto failed = resample(source, 1.00001);
  ASSERT_FALSE(failed.frames);
  EXPECT_EQ(std::tie(failed.frames.error().code, failed.frames.error().description),
            std::tuple(3, "read error mid-resample"));
  EXPECT_EQ(failed.out->samples.size(), static_cast<size_t>(resampledLength(100000, 1.00001)));
}

TEST(LinearResampler, InterpolatesBetweenNeighboursWithoutDriftingOverLongRuns) {
  MemoryAudioFile source;
  for (int i = 0; i < 600000; ++i) source.samples.push_back(static_cast<float>(i) * 1e-6f);
  const double ratio = 1.00002;
  auto result = resample(source, ratio);
  ASSERT_TRUE(result.frames);
  // A linear ramp resamples to the ramp at ratio × i, even hundreds of thousands of frames in.
  for (int64_t i : {1, 4097, 300001, 599980}) {
    EXPECT_NEAR(result.out->samples[static_cast<size_t>(i)], ratio * static_cast<double>(i) * 1e-6, 2e-7) << i;
  }
}

// --- measurement, correction and sidecar

class DriftTest : public testing::Test {
 protected:
  static TrackTimeline timeline(double span, int64_t frames) { return {10.0, 100, 10.0 + span, 100 + frames}; }
  // Applies the compensation; returns its diagnostics.
  std::string apply(const TrackTimeline& mic, const TrackTimeline& sys = {}) {
    testing::internal::CaptureStderr();
    applyDriftCompensation(paths, mic, sys);
    return testing::internal::GetCapturedStderr();
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

TEST_F(DriftTest, CorrectionThresholdAndFailedCopies) {
  writeFile(paths.mic, linearPCM16Settings(48000, 1), 1, [](int64_t, uint32_t) { return 0.5f; });
  const std::string& src = paths.mic, &dst = paths.micCorrected;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(driftCorrectedTemp(src, dst, 48000.2, 48000, "mic"));
  EXPECT_FALSE(driftCorrectedTemp(src, dst, 48000.24, 48000, "mic"));     // computes just under 5.0
  EXPECT_FALSE(driftCorrectedTemp(src, dst, 48000.25, 48000, "system"));  // one frame: fails
  EXPECT_FALSE(driftCorrectedTemp(dir / "missing.caf", dst, 48010.0, 48000, "mic"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[orvane-capture] drift-correct mic: 4.2 ppm below threshold, skipped\n"
            "[orvane-capture] drift-correct mic: 5.0 ppm below threshold, skipped\n"
            "[orvane-capture] drift-correct system: failed (source too short to resample), using raw temp\n");
  EXPECT_FALSE(std::filesystem::exists(dst));
}

}  // namespace
}  // namespace orvane
