// The sound-server system stream's decisions (which sinks are offered, which
// one is recorded, what a lost stream means) and its sample-buffer ring.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/pulse/pulse_screen_capture.h"
#include "platform/audio/sample_buffer_ring.h"

namespace orvane {
namespace {

PulseSinkInfo sink(const std::string& name, bool monitor = true) {
  PulseSinkInfo info;
  info.name = name;
  if (monitor) info.monitorSourceName = name + ".monitor";
  return info;
}

// Offered: sinks with a monitor, the default first. Recorded: the default sink,
// else the preferred one, never one without a monitor. A lost stream is
// followed to another sink only when its own sink is gone.
TEST(SystemAudioSinks, OfferRecordAndFollowOnlySinksWithAMonitor) {
  const std::vector<PulseSinkInfo> sinks{sink("speakers"), sink("dummy", false), sink("headset")};
  std::vector<std::string> offered;
  for (const Display& display : displaysForSinks(sinks, "headset")) offered.push_back(display.id);
  EXPECT_EQ(offered, (std::vector<std::string>{"headset", "speakers"}));

  EXPECT_EQ(sinkToCapture(sinks, "headset", "speakers")->name, "headset");
  EXPECT_EQ(sinkToCapture(sinks, "gone", "speakers")->name, "speakers");
  EXPECT_EQ(sinkToCapture(sinks, "dummy", "speakers")->name, "speakers");
  EXPECT_EQ(sinkToCapture(sinks, "dummy", "dummy"), nullptr);

  EXPECT_EQ(judgeStreamLoss(sinks, "headset", "speakers"), StreamLoss::killed);
  EXPECT_EQ(judgeStreamLoss(sinks, "headset", "usb"), StreamLoss::follow);
  EXPECT_EQ(judgeStreamLoss({sink("null", false)}, "null", "usb"), StreamLoss::nothingToFollow);
  EXPECT_EQ(judgeStreamLoss({}, "", "usb"), StreamLoss::nothingToFollow);
}

TEST(SampleBufferRing, ChunksCarryTheirStampAndFramesAndAFullRingRefuses) {
  const AudioFormat format{48000, 2, SampleType::float32, true};
  SampleBufferRing ring(format, 4, 2);
  const float frames[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  ASSERT_TRUE(ring.open(10.0));
  ring.write(reinterpret_cast<const uint8_t*>(frames), 3);
  EXPECT_EQ(ring.roomFrames(), 1u);
  ring.write(reinterpret_cast<const uint8_t*>(frames + 6), 5);  // only one more fits
  const int first = ring.close();
  ASSERT_GE(first, 0);
  const SampleBuffer& buffer = ring.buffer(first);
  EXPECT_EQ(std::tie(buffer.frameCount, buffer.presentationSeconds), std::tuple(4u, 10.0));
  float got[8];
  std::memcpy(got, buffer.data.data(), sizeof got);
  EXPECT_EQ(std::vector<float>(got + 4, got + 8), (std::vector<float>{5, 6, 7, 8}));

  ASSERT_TRUE(ring.open(11.0));
  EXPECT_LT(ring.close(), 0) << "an empty chunk is never handed over, and its slot is free again";
  ASSERT_TRUE(ring.open(12.0));
  ring.write(reinterpret_cast<const uint8_t*>(frames), 1);
  const int second = ring.close();
  ASSERT_GE(second, 0);
  EXPECT_FALSE(ring.open(13.0)) << "both slots in flight";
  ring.release(first);
  EXPECT_TRUE(ring.open(13.0));
}

}  // namespace
}  // namespace orvane
