// Float to int16: the fast mono and stereo paths give exactly what the
// one-sample rule gives, edge values and odd lengths included.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "platform/audio/pcm_quantize.h"

namespace orvane {
namespace {

// The rule clips, rounds halves to even and zeroes NaN.
TEST(PcmQuantize, EveryLayoutAndLengthMatchesTheOneSampleRule) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const auto& [in, out] : {std::pair{1.0f, 32767}, {-1.0f, -32768}, {-2.0f, -32768}, {nan, 0},
                                {2.5f / 32768, 2}, {3.5f / 32768, 4}, {-2.5f / 32768, -2}}) {
    EXPECT_EQ(quantizeToInt16(in), out) << in;
  }
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> special = {0.0f, -0.0f, 1.0f, -1.0f, 0.99998f, -0.99999f, 1.5f, -1.5f, inf, -inf,
                                      nan, 0.5f / 32768, 1.5f / 32768,
                                      -0.5f / 32768, -1.5f / 32768, 32766.5f / 32768, 1e30f, -1e30f, 0.3f};
  for (uint32_t channels : {1u, 2u, 3u}) {
    for (uint32_t frames : {1u, 3u, 4u, 7u, 8u, 9u, 19u, 40u}) {
      for (uint32_t first : {0u, 1u, 5u}) {
        auto buffer = PcmBuffer::create(AudioFormat::standard(48000, channels), first + frames);
        for (uint32_t c = 0; c < channels; ++c) {
          for (uint32_t i = 0; i < first + frames; ++i) {
            buffer->floatChannelData(c)[i] = special[(i * 7 + c * 5) % special.size()];
          }
        }
        std::vector<int16_t> out(static_cast<size_t>(frames) * channels, 123);
        interleaveToInt16(*buffer, first, frames, out.data());
        for (uint32_t i = 0; i < frames; ++i) {
          for (uint32_t c = 0; c < channels; ++c) {
            ASSERT_EQ(out[i * channels + c], quantizeToInt16(buffer->floatChannelData(c)[first + i]))
                << channels << " channels, " << frames << " frames from " << first << ", frame " << i << " ch " << c;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace orvane
