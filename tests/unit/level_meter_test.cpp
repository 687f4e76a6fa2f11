// The microphone LEVEL meter: the first channel only, in any sample layout,
// one line per 0.1 s. (The silence watchdog keeps real time on the main loop;
// its cases run side by side in test_sim_capture.py.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "mic/level_meter.h"

namespace orvane {
namespace {

// The LEVEL line the main loop would write after the buffer, if any.
std::string meter(LevelMeter& levels, const PcmBuffer& buffer, double hostSeconds) {
  levels.measure(buffer, hostSeconds);
  const std::optional<float> level = levels.takeLevel();
  char line[48] = "";
  if (level) std::snprintf(line, sizeof line, "LEVEL %.3f\n", static_cast<double>(*level));
  return line;
}

TEST(LevelMeter, FirstChannelOnlyOneLinePerTenthOfASecondAndEmptyBuffersSkipped) {
  LevelMeter levels;
  // Planar float: a full-scale square on the first channel, silence on the second.
  auto planar = PcmBuffer::create(AudioFormat::standard(48000, 2), 960);
  planar->clear(960);
  planar->setFrameLength(960);
  for (uint32_t i = 0; i < 960; ++i) planar->floatChannelData(0)[i] = (i / 24) % 2 ? -1.0f : 1.0f;
  EXPECT_EQ(meter(levels, *planar, 2.0), "LEVEL 1.000\n");
  EXPECT_EQ(levels.nonSilentFrames(), 960);
  // Interleaved 16-bit: silence on the first channel, a full-scale square on the second.
  auto interleaved = PcmBuffer::create(AudioFormat{44100, 2, SampleType::int16, true}, 441);
  interleaved->setFrameLength(441);
  auto* samples = reinterpret_cast<int16_t*>(interleaved->plane(0));
  for (uint32_t i = 0; i < 441; ++i) samples[2 * i] = 0, samples[2 * i + 1] = i % 2 ? -32768 : 32767;
  EXPECT_EQ(meter(levels, *interleaved, 3.0), "LEVEL 0.000\n");
  EXPECT_EQ(levels.nonSilentFrames(), 960) << "a silent first channel is no signal";

  // 4096-frame buffers of a 1 kHz sine of amplitude 0.5 every 85 ms: a line for every second buffer,
  // and only the metered buffers feed the signal count. An empty buffer is not metered.
  auto sine = PcmBuffer::create(AudioFormat::standard(48000, 1), 4096);
  for (uint32_t i = 0; i < 4096; ++i) sine->floatChannelData(0)[i] = 0.5f * std::sin(2 * M_PI * i / 48.0);
  sine->setFrameLength(0);
  EXPECT_EQ(meter(levels, *sine, 4.0), "");
  sine->setFrameLength(4096);
  std::string lines;
  for (int i = 0; i < 24; ++i) lines += meter(levels, *sine, 4.01 + i * 0.085);
  std::string expected;
  for (int i = 0; i < 12; ++i) expected += "LEVEL 0.354\n";
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(levels.nonSilentFrames(), 960 + 12 * 4096);
}

}  // namespace
}  // namespace orvane
