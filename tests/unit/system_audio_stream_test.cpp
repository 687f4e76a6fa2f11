// The ring of sample buffers that carries system audio from the sound
// server's thread to the recorder's queue.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/audio/sample_buffer_ring.h"

namespace orvane {
namespace {

// Chunks go out with their stamp and as many frames as fit; an empty chunk is
// never handed over and gives its slot back. (Which sink is recorded and
// followed: the PulseAudio recording runs.)
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
