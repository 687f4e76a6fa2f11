// PcmBuffer layout and AudioFormat equality.
#include <gtest/gtest.h>

#include "platform/pcm_buffer.h"

namespace orvane {
namespace {

TEST(PcmBuffer, PlanarFloatHasOneChannelArrayPerChannel) {
  auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 2), 16);
  ASSERT_TRUE(buffer);
  EXPECT_NE(buffer->floatChannelData(0), nullptr);
  EXPECT_NE(buffer->floatChannelData(1), buffer->floatChannelData(0));
  buffer->setFrameLength(99);
  EXPECT_EQ(buffer->frameLength(), 16u);
}

TEST(PcmBuffer, InterleavedIntegerHasNoFloatDataAndOnePlane) {
  auto buffer = PcmBuffer::create(AudioFormat{44100, 2, SampleType::int16, true}, 8);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->planeCount(), 1u);
  EXPECT_EQ(buffer->planeStride(), 4u);
  EXPECT_EQ(buffer->floatChannelData(0), nullptr);
}

TEST(PcmBuffer, CreationFailsForEmptyShapes) {
  EXPECT_FALSE(PcmBuffer::create(AudioFormat::standard(48000, 0), 16));
  EXPECT_FALSE(PcmBuffer::create(AudioFormat::standard(48000, 1), 0));
}

TEST(AudioFormat, EqualityComparesAllFourProperties) {
  const auto mono = AudioFormat::standard(48000, 1);
  EXPECT_EQ(mono, AudioFormat::standard(48000, 1));
  EXPECT_NE(mono, AudioFormat::standard(44100, 1));
  EXPECT_NE(mono, (AudioFormat{48000, 1, SampleType::int16, false}));
  EXPECT_NE(mono, (AudioFormat{48000, 1, SampleType::float32, true}));
}

}  // namespace
}  // namespace orvane
