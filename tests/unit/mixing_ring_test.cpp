// MixingRing: where blocks of several streams land, what is handed on and
// when, and what is left out.
#include "platform/pulse/mixing_ring.h"

#include <gtest/gtest.h>

#include <vector>

namespace orvane {
namespace {

constexpr double kRate = 48000;
constexpr double kOrigin = 100.0;

double at(int64_t frame) { return kOrigin + static_cast<double>(frame) / kRate; }

struct Piece {
  std::vector<float> samples;
  double stamp;
};

std::vector<Piece> handOn(MixingRing& ring, double until, int64_t least = 0, uint32_t most = 1 << 20) {
  std::vector<Piece> pieces;
  ring.handOn(until, least, most, [&](const float* samples, uint32_t frames, double stamp) {
    pieces.push_back({std::vector<float>(samples, samples + frames), stamp});
  });
  return pieces;
}

std::vector<float> joined(const std::vector<Piece>& pieces) {
  std::vector<float> all;
  for (const Piece& piece : pieces) all.insert(all.end(), piece.samples.begin(), piece.samples.end());
  return all;
}

// Each frame of `all` named holds its value.
void expectFrames(const std::vector<float>& all, std::initializer_list<std::pair<size_t, float>> frames) {
  for (const auto& [frame, value] : frames) {
    ASSERT_LT(frame, all.size());
    EXPECT_EQ(all[frame], value) << "frame " << frame;
  }
}

TEST(MixingRing, StreamsAddUpAtTheirStampsWithSilenceBetweenAndPiecesStampedInHostTime) {
  MixingRing ring(kRate, 1000, kOrigin);
  MixingRing::Lane a, b;
  const std::vector<float> ones(100, 1.0f), twos(100, 2.0f);
  EXPECT_EQ(ring.add(a, ones.data(), 100, at(200)), 0);
  EXPECT_EQ(ring.add(b, twos.data(), 100, at(250)), 0);
  const auto pieces = handOn(ring, at(400), 0, 128);
  ASSERT_EQ(pieces.size(), 4u);  // 400 frames in pieces of at most 128
  for (size_t i = 0; i < pieces.size(); ++i) EXPECT_DOUBLE_EQ(pieces[i].stamp, at(static_cast<int64_t>(i) * 128));
  const auto all = joined(pieces);
  ASSERT_EQ(all.size(), 400u);
  expectFrames(all, {{199, 0.0f}, {200, 1.0f}, {250, 3.0f}, {299, 3.0f}, {300, 2.0f}, {350, 0.0f}});
  // Handed on means gone: the ring's places are silence again when they come round.
  EXPECT_EQ(joined(handOn(ring, at(1400))), std::vector<float>(1000, 0.0f));
}

TEST(MixingRing, ALaneFollowsOnWithinTheDeadBandIsDrawnAFrameBeyondItAndJumpsPastTheGapThreshold) {
  MixingRing ring(kRate, 48000, kOrigin);
  MixingRing::Lane lane;
  std::vector<float> block(1000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = 1.0f + static_cast<float>(i) / 1000;  // 1 up to 2
  ring.add(lane, block.data(), 1000, at(0));
  ring.add(lane, block.data(), 1000, at(1000 + MixingRing::kDeadBandFrames));  // wander: follows on
  EXPECT_EQ(lane.nextFrame, 2000);
  ring.add(lane, block.data(), 1000, at(2000 + 100));  // 2 ms off: one frame towards it
  EXPECT_EQ(lane.nextFrame, 3001);
  ring.add(lane, block.data(), 1000, at(3001 - 100));  // and back
  EXPECT_EQ(lane.nextFrame, 4000);
  ring.add(lane, block.data(), 1000, at(4000 + MixingRing::kJumpFrames + 1));  // a hole: at its stamp
  EXPECT_EQ(lane.nextFrame, 5000 + MixingRing::kJumpFrames + 1);
  const auto all = joined(handOn(ring, at(6000)));
  // Drawn on at 2000 (its first sample twice), drawn back at 3001 (its first sample left out, nothing added on
  // top), and the hole from 4000.
  expectFrames(all, {{1999, block[999]}, {2000, block[0]}, {2001, block[0]}, {3000, block[999]}, {3001, block[1]},
               {3999, block[999]}, {4000, 0.0f}, {4000 + MixingRing::kJumpFrames + 1, block[0]}});
}

// A graph cycle measured or changed moves a stream's audio by all of it at
// once, however little (a 128-frame cycle lies within the gap threshold, and
// drawn a frame a block the lane would take seconds to get there).
TEST(MixingRing, ALaneWhoseLatenessChangesGoesWhereItsStampAndLatenessSayAtOnce) {
  MixingRing ring(kRate, 48000, kOrigin);
  MixingRing::Lane lane;
  const std::vector<float> ones(1000, 1.0f);
  ring.add(lane, ones.data(), 1000, at(0));
  ring.add(lane, ones.data(), 1000, at(1000), 128);
  EXPECT_EQ(lane.nextFrame, 2128);
  ring.add(lane, ones.data(), 1000, at(2000), 128);  // follows on
  EXPECT_EQ(lane.nextFrame, 3128);
  ring.add(lane, ones.data(), 1000, at(3000), 64);  // shorter: back by the difference
  EXPECT_EQ(lane.nextFrame, 4064);
  const auto all = joined(handOn(ring, at(5000)));
  // What the first cycle's lateness left out, and the second's overlap.
  expectFrames(all, {{1127, 0.0f}, {1128, 1.0f}, {3063, 1.0f}, {3064, 2.0f}, {3127, 2.0f}, {3128, 1.0f}});
}

// A stream's first blocks, held until its lateness is known and its stamps
// settled, are placed together with it: one lane, no gap between them.
TEST(HeldBlocks, KeepBlocksWithTheirStampsWhileThereIsRoomAndReleaseThemOldestFirstOnce) {
  HeldBlocks held(2500);
  const std::vector<float> ones(1000, 1.0f), twos(1000, 2.0f);
  EXPECT_TRUE(held.empty());
  ASSERT_TRUE(held.keep(ones.data(), 1000, at(0)));
  ASSERT_TRUE(held.keep(twos.data(), 1000, at(1000)));
  EXPECT_FALSE(held.keep(ones.data(), 1000, at(2000)));  // no room: nothing of it kept
  EXPECT_DOUBLE_EQ(held.firstStampSeconds(), at(0));
  MixingRing ring(kRate, 48000, kOrigin);
  MixingRing::Lane lane;
  held.release(kRate, [&](const float* samples, int64_t frames, double stamp) {
    ring.add(lane, samples, frames, stamp, 512);
  });
  EXPECT_TRUE(held.empty());
  EXPECT_EQ(lane.nextFrame, 2512);
  held.release(kRate, [](const float*, int64_t, double) { ADD_FAILURE() << "released twice"; });
  const auto all = joined(handOn(ring, at(3000)));
  expectFrames(all, {{511, 0.0f}, {512, 1.0f}, {1511, 1.0f}, {1512, 2.0f}, {2511, 2.0f}, {2512, 0.0f}});
  // Room again once released.
  EXPECT_TRUE(held.keep(ones.data(), 1000, at(2000)));
}

// The stamps settle earlier as the first arrivals come (the first is late by
// whatever held it up): the newest says where a run of blocks lies. A block
// that begins later than the one before ends, beyond the gap threshold, comes
// after a hole and begins a run of its own.
TEST(HeldBlocks, ARunOfBlocksGoesWhereItsNewestStampSaysAndAHoleStartsANewRun) {
  HeldBlocks held(10000);
  const std::vector<float> block(1000, 1.0f);
  const int64_t hole = MixingRing::kJumpFrames + 1;
  for (const int64_t stamp : std::vector<int64_t>{900, 1800, 2700, 3700 + hole, 4650 + hole}) {
    held.keep(block.data(), 1000, at(stamp));
  }
  std::vector<double> stamps;
  held.release(kRate, [&](const float*, int64_t, double stamp) { stamps.push_back(stamp); });
  const std::vector<double> placed{at(700), at(1700), at(2700), at(3650 + hole), at(4650 + hole)};
  ASSERT_EQ(stamps.size(), placed.size());
  for (size_t i = 0; i < placed.size(); ++i) EXPECT_NEAR(stamps[i], placed[i], 1e-9) << i;
  // Far earlier than any settling: stamps that began anew say nothing of the blocks before.
  const auto anew = static_cast<int64_t>((HeldBlocks::kMostSettleSeconds + 0.01) * kRate);
  held.keep(block.data(), 1000, at(0));
  held.keep(block.data(), 1000, at(1000 - anew));
  stamps.clear();
  held.release(kRate, [&](const float*, int64_t, double stamp) { stamps.push_back(stamp); });
  ASSERT_EQ(stamps.size(), 2u);
  EXPECT_DOUBLE_EQ(stamps[0], at(0));
}

TEST(MixingRing, FramesWhosePlaceWasHandedOnOrLiesBeyondTheRingAreLeftOutAndCounted) {
  MixingRing ring(kRate, 1000, kOrigin);
  MixingRing::Lane late, early;
  handOn(ring, at(500));
  std::vector<float> block(100, 1.0f);
  EXPECT_EQ(ring.add(late, block.data(), 100, at(450)), 50);
  EXPECT_EQ(ring.add(early, block.data(), 100, at(1450)), 50);  // the ring reaches frame 1499
  const auto all = joined(handOn(ring, at(1500)));
  EXPECT_EQ(all.size(), 1000u);
  // Frames 500-549 and 1450-1499.
  expectFrames(all, {{0, 1.0f}, {49, 1.0f}, {50, 0.0f}, {950, 1.0f}, {999, 1.0f}});
  // A stream's first block that began before the timeline did: nothing of it was missed.
  MixingRing fresh(kRate, 1000, kOrigin);
  MixingRing::Lane first;
  EXPECT_EQ(fresh.add(first, block.data(), 100, at(-30)), 0);
  EXPECT_EQ(joined(handOn(fresh, at(100)))[69], 1.0f);
}

TEST(MixingRing, HandsOnOnlyOnceEnoughIsDueAndSkipsWhatOutranTheRing) {
  MixingRing ring(kRate, 1000, kOrigin);
  EXPECT_TRUE(handOn(ring, at(300), 400).empty());
  EXPECT_EQ(ring.handedOn(), 0);
  EXPECT_EQ(joined(handOn(ring, at(400), 400)).size(), 400u);
  EXPECT_TRUE(handOn(ring, at(400)).empty());  // nothing new is due
  // A loop held up for longer than the ring: nothing is handed on for it, and the timeline moves on.
  EXPECT_TRUE(handOn(ring, at(5000)).empty());
  EXPECT_EQ(ring.handedOn(), 5000);
  const auto next = handOn(ring, at(5100));
  ASSERT_EQ(next.size(), 1u);
  EXPECT_DOUBLE_EQ(next[0].stamp, at(5000));
}

}  // namespace
}  // namespace orvane
