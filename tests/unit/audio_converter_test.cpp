// AudioConverter: rate, channel and sample-type conversion into the 48 kHz
// mono processing format, with state carried across calls.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/audio/audio_converter.h"
#include "support/sim_backend.h"

namespace orvane {
namespace {

const AudioFormat kMono48k = AudioFormat::standard(48000, 1);

// Feeds half a second of a 440 Hz sine of amplitude 0.5, on every channel, in
// blocks of varying size through one converter; returns everything that came
// out. Drift is measured from the frames in a track against the time stamps of
// the buffers that made them: what the converter holds back must be accounted
// for to the fraction of a frame, at every call, or a 50 kHz device measures
// slow.
std::vector<float> convertSine(const AudioFormat& from, uint32_t outputCapacity) {
  std::vector<float> out;
  auto converter = AudioConverter::create(from, kMono48k);
  EXPECT_TRUE(converter) << from.describe();
  if (!converter) return out;
  EXPECT_EQ(converter->pendingOutputFrames(), 0.0);
  auto input = PcmBuffer::create(from, 4096);
  auto output = PcmBuffer::create(kMono48k, outputCapacity);
  const uint32_t blocks[] = {441, 1024, 97, 4096, 1, 2000, 512};
  const auto total = int64_t(from.sampleRate / 2);
  for (int64_t fed = 0, call = 0; fed < total; fed += input->frameLength(), ++call) {
    const uint32_t n = uint32_t(std::min<int64_t>(blocks[call % 7], total - fed));
    const size_t bytes = bytesPerSample(from.sampleType), step = from.interleaved ? from.channelCount : 1;
    for (uint32_t i = 0; i < n; ++i) {
      const auto value = float(0.5 * std::sin(2 * M_PI * 440 * double(fed + i) / from.sampleRate));
      for (uint32_t ch = 0; ch < from.channelCount; ++ch) {
        sim::storeSample(input->plane(from.interleaved ? 0 : ch) + (i * step + (from.interleaved ? ch : 0)) * bytes,
                         from.sampleType, value);
      }
    }
    input->setFrameLength(n);
    EXPECT_FALSE(converter->convert(*input, *output));
    out.insert(out.end(), output->floatChannelData(0), output->floatChannelData(0) + output->frameLength());
    EXPECT_NEAR(out.size() + converter->pendingOutputFrames(), double(fed + n) * 48000 / from.sampleRate, 0.01);
  }
  if (from.sampleRate != 48000) {
    EXPECT_GT(converter->pendingOutputFrames(), 1.0) << "a resampler holds history";
  }
  return out;
}

TEST(AudioConverter, EveryRateChannelCountAndSampleTypeConvertsWithoutClicks) {
  const SampleType types[] = {SampleType::float32, SampleType::float64, SampleType::int16, SampleType::int32,
                              SampleType::uint8};
  for (double rate : {8000.0, 16000.0, 22050.0, 44100.0, 48000.0, 50000.0, 96000.0, 192000.0}) {
    for (uint32_t channels : {1u, 2u, 6u, 8u}) {
      for (SampleType type : types) {
        for (bool interleaved : {true, false}) {
          const AudioFormat from{rate, channels, type, interleaved};
          SCOPED_TRACE(from.describe());
          const auto out = convertSine(from, uint32_t(4096 * 48000 / rate) + 64);
          // The filter holds back about 16 input frames, never a growing amount.
          ASSERT_NEAR(double(out.size()), 24000, std::max(48.0, 24 * 48000 / rate));
          // Over the last 0.25 s: 220 crossings. The same sine on every channel
          // mixes to mono at its own level, neither silent nor summed.
          int crossings = 0;
          float peak = 0, jump = 0;
          for (size_t i = 4800; i < out.size(); ++i) {
            crossings += i >= out.size() - 12000 && (out[i - 1] < 0) != (out[i] < 0);
            peak = std::max(peak, std::fabs(out[i]));
            jump = std::max(jump, std::fabs(out[i] - out[i - 1]));
          }
          EXPECT_NEAR(crossings, 220, 3);
          EXPECT_GE(peak, channels <= 2 ? 0.48f : 0.1f);
          EXPECT_LE(peak, channels <= 2 ? 0.51f : 0.52f);
          // A 440 Hz sine of amplitude 0.5 moves at most 0.029 per sample; a
          // filter restarted per call jumps at buffer boundaries.
          EXPECT_LT(jump, 0.04f);
        }
      }
    }
  }
}

// The server's streams come as mono float at the device's rate: each output
// frame is the band-limited input at its own instant, with no delay of its
// own, and what lies above the output's band does not fold back into it.
TEST(AudioConverter, MonoFloatAtAnotherRateKeepsItsBandAndLeavesTheRest) {
  struct Case { double rate, tone; bool inBand; };
  for (const Case& c : {Case{44100, 997, true}, Case{50000, 7000, true}, Case{96000, 19000, true},
                        Case{96000, 30000, false}, Case{44100, 15000, true}}) {
    const AudioFormat from = AudioFormat::standard(c.rate, 1);
    auto converter = AudioConverter::create(from, kMono48k, {4096, 8192});
    ASSERT_TRUE(converter);
    auto input = PcmBuffer::create(from, 4096), output = PcmBuffer::create(kMono48k, 8192);
    double error = 0, power = 0;
    for (int64_t fed = 0, made = 0; fed < int64_t(c.rate); fed += 4096) {
      for (uint32_t i = 0; i < 4096; ++i) input->floatChannelData(0)[i] = 
          float(0.5 * std::sin(2 * M_PI * c.tone * double(fed + i) / c.rate));
      input->setFrameLength(4096);
      ASSERT_FALSE(converter->convert(*input, *output));
      for (uint32_t k = 0; k < output->frameLength(); ++k, ++made) {
        const double want = c.inBand ? 0.5 * std::sin(2 * M_PI * c.tone * double(made) / 48000) : 0;
        if (made < 4800) continue;  // the filter's first half reaches back before the input
        error += std::pow(output->floatChannelData(0)[k] - want, 2);
        power += 0.125;
      }
    }
    EXPECT_LT(10 * std::log10(error / power), -60) << c.rate << " Hz, tone " << c.tone;
  }
}

}  // namespace
}  // namespace orvane
