// The microphone LEVEL meter. (The silence watchdog keeps real time on the
// main loop; its cases run side by side in test_sim_capture.py.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "mic/level_meter.h"

namespace orvane {
namespace {

constexpr uint32_t kBufferFrames = 4096;  // 85.3 ms at 48 kHz, as a device delivers

// 48 kHz mono: a 1 kHz sine of amplitude 0.5, or zeros.
std::unique_ptr<PcmBuffer> monoBuffer(bool sine) {
  auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 1), kBufferFrames);
  for (uint32_t i = 0; i < kBufferFrames; ++i) buffer->floatChannelData(0)[i] = sine ? 0.5f * std::sin(2 * M_PI * i / 48.0) : 0;
  buffer->setFrameLength(kBufferFrames);
  return buffer;
}

// What the main loop would report after each buffer, as its LEVEL line.
class LevelMeterTest : public testing::Test {
 protected:
  std::string meter(const PcmBuffer& buffer, double hostSeconds) {
    levels.measure(buffer, hostSeconds);
    const std::optional<float> level = levels.takeLevel();
    if (!level) return "";
    char line[48];
    std::snprintf(line, sizeof line, "LEVEL %.3f\n", static_cast<double>(*level));
    return line;
  }

  LevelMeter levels;
};

TEST_F(LevelMeterTest, FirstChannelOnlyFullScaleAndSilenceAndEmptyBuffers) {
  EXPECT_EQ(meter(*monoBuffer(false), 1.0), "LEVEL 0.000\n");
  EXPECT_EQ(levels.nonSilentFrames(), 0);
  // Planar: a full-scale square on the first channel, silence on the second.
  auto planar = PcmBuffer::create(AudioFormat::standard(48000, 2), 960);
  planar->setFrameLength(960);
  for (uint32_t i = 0; i < 960; ++i) {
    planar->floatChannelData(0)[i] = (i / 24) % 2 ? -1.0f : 1.0f;
    planar->floatChannelData(1)[i] = 0.0f;
  }
  EXPECT_EQ(meter(*planar, 2.0), "LEVEL 1.000\n");
  EXPECT_EQ(levels.nonSilentFrames(), 960);
  // Interleaved 16-bit: silence on the first channel, a full-scale square on the second.
  auto interleaved = PcmBuffer::create(AudioFormat{44100, 2, SampleType::int16, true}, 441);
  interleaved->setFrameLength(441);
  auto* samples = reinterpret_cast<int16_t*>(interleaved->plane(0));
  for (uint32_t i = 0; i < 441; ++i) {
    samples[2 * i] = 0;
    samples[2 * i + 1] = i % 2 ? -32768 : 32767;
  }
  EXPECT_EQ(meter(*interleaved, 3.0), "LEVEL 0.000\n");
  EXPECT_EQ(levels.nonSilentFrames(), 960) << "a silent first channel is no signal";
  // An empty buffer is not metered and does not delay the next.
  auto empty = monoBuffer(true);
  empty->setFrameLength(0);
  EXPECT_EQ(meter(*empty, 4.0), "");
  EXPECT_EQ(meter(*monoBuffer(false), 4.01), "LEVEL 0.000\n");
}

TEST_F(LevelMeterTest, BuffersEvery85MillisecondsGiveALineOnEverySecondBuffer) {
  auto buffer = monoBuffer(true);
  std::string lines;
  for (int i = 0; i < 24; ++i) lines += meter(*buffer, 500.0 + i * 0.085);
  std::string expected;
  for (int i = 0; i < 12; ++i) expected += "LEVEL 0.354\n";
  EXPECT_EQ(lines, expected);
  // Only the metered buffers feed the signal count.
  EXPECT_EQ(levels.nonSilentFrames(), 12 * int64_t{kBufferFrames});
}

}  // namespace
}  // namespace orvane
