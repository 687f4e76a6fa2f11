// AudioConverter: rate, channel and sample-type conversion into the 48 kHz
// mono processing format, with state carried across calls.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/audio_converter.h"

namespace orvane {
namespace {

constexpr double kPi = 3.14159265358979323846;
const AudioFormat kMono48k = AudioFormat::standard(48000, 1);

// Writes `value` (nominal range -1..1) as sample `frame` of `channel`, in any format.
void put(PcmBuffer& buffer, uint32_t frame, uint32_t channel, double value) {
  const AudioFormat& format = buffer.format();
  const size_t index = format.interleaved ? size_t(frame) * format.channelCount + channel : frame;
  uint8_t* plane = buffer.plane(format.interleaved ? 0 : channel);
  switch (format.sampleType) {
    case SampleType::float32: reinterpret_cast<float*>(plane)[index] = float(value); break;
    case SampleType::float64: reinterpret_cast<double*>(plane)[index] = value; break;
    case SampleType::int16: reinterpret_cast<int16_t*>(plane)[index] = int16_t(std::lrint(value * 32767)); break;
    case SampleType::int32: reinterpret_cast<int32_t*>(plane)[index] = int32_t(std::lrint(value * 2147483647.0)); break;
    case SampleType::uint8: plane[index] = uint8_t(std::lrint(128 + value * 127)); break;
  }
}

// Feeds `inputFrames` frames of a sine in blocks of varying size through a new
// converter and collects everything that comes out.
struct Converted {
  std::vector<float> out;
  int64_t fed = 0;
};

Converted convertSine(const AudioFormat& from, int64_t inputFrames, double hz, double amplitude,
                uint32_t outputCapacity = 0) {
  Converted run;
  auto converter = AudioConverter::create(from, kMono48k);
  EXPECT_TRUE(converter) << from.describe();
  if (!converter) return run;
  auto input = PcmBuffer::create(from, 4096);
  // By default room for everything one input block can produce.
  if (outputCapacity == 0) outputCapacity = uint32_t(4096 * 48000 / from.sampleRate) + 64;
  auto output = PcmBuffer::create(kMono48k, outputCapacity);
  const uint32_t blocks[] = {441, 1024, 97, 4096, 1, 2000, 512};
  for (size_t call = 0; run.fed < inputFrames; ++call) {
    const uint32_t n = uint32_t(std::min<int64_t>(blocks[call % 7], inputFrames - run.fed));
    for (uint32_t i = 0; i < n; ++i) {
      const double value = amplitude * std::sin(2 * kPi * hz * double(run.fed + i) / from.sampleRate);
      for (uint32_t ch = 0; ch < from.channelCount; ++ch) put(*input, i, ch, value);
    }
    input->setFrameLength(n);
    Status error = converter->convert(*input, *output);
    EXPECT_FALSE(error);
    run.out.insert(run.out.end(), output->floatChannelData(0), output->floatChannelData(0) + output->frameLength());
    run.fed += n;
  }
  return run;
}

int zeroCrossings(const std::vector<float>& samples, size_t from, size_t to) {
  int count = 0;
  for (size_t i = from + 1; i < to; ++i) count += (samples[i - 1] < 0) != (samples[i] < 0);
  return count;
}

TEST(AudioConverter, StereoInt16At44kBecomesMono48kWithTheRightLengthAndPitch) {
  const AudioFormat from{44100, 2, SampleType::int16, true};
  const int64_t inputFrames = 44100 * 10;
  Converted run = convertSine(from, inputFrames, 1000, 0.5);
  // The resampler holds back only its filter's delay, never a growing amount.
  EXPECT_NEAR(double(run.out.size()), double(inputFrames) * 48000 / 44100, 48);
  ASSERT_GT(run.out.size(), 48000u * 9);
  EXPECT_NEAR(zeroCrossings(run.out, 48000, 48000 * 9), 16000, 2);
  // Equal channels mix to the same amplitude.
  float peak = 0;
  for (size_t i = 48000; i < run.out.size(); ++i) peak = std::max(peak, std::fabs(run.out[i]));
  EXPECT_NEAR(peak, 0.5, 0.01);
}

// Regression: a converter rebuilt or drained per call restarts its filter, and
// the output jumps at every buffer boundary.
TEST(AudioConverter, StateCarriesAcrossCallsWithoutClicks) {
  Converted run = convertSine(AudioFormat{44100, 2, SampleType::int16, true}, 44100 * 3, 1000, 0.5);
  // A 1 kHz sine of amplitude 0.5 at 48 kHz moves at most 2π·1000/48000·0.5 ≈ 0.065 per sample.
  float maxJump = 0;
  for (size_t i = 1; i < run.out.size(); ++i) maxJump = std::max(maxJump, std::fabs(run.out[i] - run.out[i - 1]));
  EXPECT_LT(maxJump, 0.07f);
}

TEST(AudioConverter, InPhaseFullScaleStereoNeverExceedsFullScaleInMono) {
  const AudioFormat from = AudioFormat::standard(48000, 2);
  auto converter = AudioConverter::create(from, kMono48k);
  ASSERT_TRUE(converter);
  auto input = PcmBuffer::create(from, 1000);
  auto output = PcmBuffer::create(kMono48k, 1000);
  for (uint32_t i = 0; i < 1000; ++i) {
    const float value = (i / 50) % 2 ? 1.0f : -1.0f;
    input->floatChannelData(0)[i] = value;
    input->floatChannelData(1)[i] = value;
  }
  input->setFrameLength(1000);
  float peak = 0;
  for (int call = 0; call < 5; ++call) {
    ASSERT_FALSE(converter->convert(*input, *output));
    for (uint32_t i = 0; i < output->frameLength(); ++i) peak = std::max(peak, std::fabs(output->floatChannelData(0)[i]));
  }
  EXPECT_LE(peak, 1.0f);
  EXPECT_GT(peak, 0.99f);
}

TEST(AudioConverter, FramesBeyondTheOutputCapacityComeOutOnLaterCalls) {
  const AudioFormat from{44100, 1, SampleType::float32, false};
  const int64_t inputFrames = 44100 * 2;
  Converted roomy = convertSine(from, inputFrames, 440, 0.5, 8192);
  Converted tight = convertSine(from, inputFrames, 440, 0.5, 700);  // less than most calls produce
  // The tight run lags behind by what is still held; feeding nothing releases it.
  auto converter = AudioConverter::create(from, kMono48k);
  ASSERT_TRUE(converter);
  auto input = PcmBuffer::create(from, 4096);
  auto output = PcmBuffer::create(kMono48k, 700);
  input->setFrameLength(4096);
  ASSERT_FALSE(converter->convert(*input, *output));
  EXPECT_EQ(output->frameLength(), 700u);
  int64_t released = 0;
  input->setFrameLength(0);
  for (int call = 0; call < 10; ++call) {
    ASSERT_FALSE(converter->convert(*input, *output));
    released += output->frameLength();
  }
  EXPECT_NEAR(double(700 + released), 4096.0 * 48000 / 44100, 48);
  ASSERT_LE(tight.out.size(), roomy.out.size());
  for (size_t i = 0; i < tight.out.size(); ++i) ASSERT_EQ(tight.out[i], roomy.out[i]) << i;
}

TEST(AudioConverter, EveryRateChannelCountAndSampleTypeConverts) {
  const SampleType types[] = {SampleType::float32, SampleType::float64, SampleType::int16, SampleType::int32,
                              SampleType::uint8};
  for (double rate : {8000.0, 16000.0, 22050.0, 44100.0, 48000.0, 96000.0, 192000.0}) {
    for (uint32_t channels : {1u, 2u, 6u, 8u}) {
      for (SampleType type : types) {
        for (bool interleaved : {true, false}) {
          const AudioFormat from{rate, channels, type, interleaved};
          SCOPED_TRACE(from.describe());
          Converted run = convertSine(from, int64_t(rate / 2), 440, 0.5);
          // The filter holds back about 16 input frames.
          ASSERT_NEAR(double(run.out.size()), 24000, std::max(48.0, 24 * 48000 / rate));
          // 440 Hz over the last 0.25 s: 220 crossings; sound on every channel
          // gives a mix that is neither silent nor clipped.
          EXPECT_NEAR(zeroCrossings(run.out, run.out.size() - 12000, run.out.size()), 220, 3);
          float peak = 0;
          for (size_t i = 4800; i < run.out.size(); ++i) peak = std::max(peak, std::fabs(run.out[i]));
          EXPECT_GT(peak, 0.1f);
          EXPECT_LE(peak, 0.52f);
          if (channels <= 2) {
            EXPECT_NEAR(peak, 0.5, 0.02);
          }
        }
      }
    }
  }
}

TEST(AudioConverter, ImpossiblePairsYieldNothing) {
  EXPECT_FALSE(AudioConverter::create(AudioFormat{0, 2, SampleType::int16, true}, kMono48k));
  EXPECT_FALSE(AudioConverter::create(AudioFormat{44100, 0, SampleType::int16, true}, kMono48k));
  EXPECT_FALSE(AudioConverter::create(AudioFormat::standard(48000, 1), AudioFormat::standard(0, 1)));
  EXPECT_FALSE(AudioConverter::create(AudioFormat::standard(48000, 1), AudioFormat::standard(48000, 0)));
  EXPECT_FALSE(AudioConverter::create(AudioFormat::standard(44100.5, 1), kMono48k));
  EXPECT_TRUE(AudioConverter::create(kMono48k, kMono48k));
}

TEST(AudioConverter, BuffersInTheWrongFormatAreAnError) {
  auto converter = AudioConverter::create(AudioFormat{44100, 2, SampleType::int16, true}, kMono48k);
  ASSERT_TRUE(converter);
  auto wrongInput = PcmBuffer::create(AudioFormat::standard(44100, 2), 16);
  auto output = PcmBuffer::create(kMono48k, 16);
  output->setFrameLength(5);
  EXPECT_TRUE(converter->convert(*wrongInput, *output));
  EXPECT_EQ(output->frameLength(), 0u);
}

// Drift is measured from the frames in a track against the time stamps of the
// buffers that made them; what the converter holds back must be accounted for
// to the fraction of a frame, at every call, or a 50 kHz device measures slow.
TEST(AudioConverter, FramesHeldBackAccountForEveryInputFrame) {
  for (const AudioFormat& from : {AudioFormat::standard(50000, 1), AudioFormat{44100, 2, SampleType::int16, true}}) {
    auto converter = AudioConverter::create(from, kMono48k);
    ASSERT_TRUE(converter);
    EXPECT_EQ(converter->pendingOutputFrames(), 0.0);
    auto input = PcmBuffer::create(from, 4096);
    auto output = PcmBuffer::create(kMono48k, 8192);
    input->clear(4096);
    int64_t fed = 0, produced = 0;
    for (uint32_t n : {4096u, 1000u, 17u, 4096u, 3000u}) {
      input->setFrameLength(n);
      ASSERT_FALSE(converter->convert(*input, *output));
      fed += n;
      produced += output->frameLength();
      const double expected = double(fed) * 48000 / from.sampleRate;
      EXPECT_NEAR(produced + converter->pendingOutputFrames(), expected, 0.01) << from.describe();
    }
    EXPECT_GT(converter->pendingOutputFrames(), 1.0) << "a resampler always holds some history";
  }
}

}  // namespace
}  // namespace orvane
