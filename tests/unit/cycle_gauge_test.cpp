// CycleGauge: the graph's cycle from write indexes read at moments that fall
// anywhere in it, as it changes, and when the readings say nothing of it.
#include "platform/pulse/cycle_gauge.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>

namespace orvane {
namespace {

// Readings a whole number of cycles apart: `cycles` between each and the next.
int64_t read(CycleGauge& gauge, int64_t from, int64_t cycle, std::initializer_list<int64_t> cycles) {
  gauge.add(from);
  for (int64_t count : cycles) gauge.add(from += count * cycle);
  return from;
}

TEST(CycleGauge, TheCycleIsKnownOnceEnoughReadingsLieCoprimeNumbersOfItApart) {
  CycleGauge gauge;
  read(gauge, 0, 1024, {12, 14});
  EXPECT_EQ(gauge.cycleFrames(), 0);  // two differences are not yet enough
  read(gauge, 26 * 1024, 1024, {9});
  EXPECT_EQ(gauge.cycleFrames(), 1024);
  // Readings within one cycle (the stream stood still) say nothing.
  read(gauge, 35 * 1024, 1024, {0, 0});
  EXPECT_EQ(gauge.cycleFrames(), 1024);
  // A cycle that is no power of two (one forced).
  CycleGauge forced;
  read(forced, 0, 1000, {5, 6, 7});
  EXPECT_EQ(forced.cycleFrames(), 1000);
}

TEST(CycleGauge, AShorterCycleShowsAtOnceALongerOneOnceTheWindowHoldsNoShorterOne) {
  CycleGauge gauge;
  int64_t at = read(gauge, 0, 2048, {5, 6, 7});
  ASSERT_EQ(gauge.cycleFrames(), 2048);
  at = read(gauge, at, 256, {23});  // a client asking for less latency came
  EXPECT_EQ(gauge.cycleFrames(), 256);
  at = read(gauge, at, 1024, {11, 12, 11, 12, 11, 12, 11});  // it went
  EXPECT_EQ(gauge.cycleFrames(), 256);
  read(gauge, at, 1024, {12});  // the window holds the longer cycle alone
  EXPECT_EQ(gauge.cycleFrames(), 1024);
}

TEST(CycleGauge, ReadingsOfAnotherStreamStartTheDifferencesAgainAndUnevenStepsAreNoCycle) {
  CycleGauge gauge;
  int64_t at = read(gauge, 0, 512, {20, 23, 25});
  ASSERT_EQ(gauge.cycleFrames(), 512);
  gauge.restart();  // a new stream: its index begins again
  at = read(gauge, 0, 512, {21, 22});
  EXPECT_EQ(gauge.cycleFrames(), 512);  // the measured cycle stays meanwhile
  // Going back or leaping ahead: another stream the gauge was not told of.
  gauge.add(at - 100);
  at = read(gauge, at + CycleGauge::kMostDifference + 1, 256, {21, 22});
  EXPECT_EQ(gauge.cycleFrames(), 512);  // two differences since: not enough to say
  // The graph turns to another rate than the stream's: steps of 1114 and 1115
  // frames share no cycle, and the one measured before goes.
  for (int64_t step : {1114 * 11, 1115 * 12, 1114 * 12, 1115 * 13}) gauge.add(at += step);
  EXPECT_EQ(gauge.cycleFrames(), 0);
}

}  // namespace
}  // namespace orvane
