// TimestampModel against synthetic deliveries: known true capture times,
// arrival jitter, block delivery, clock offsets, lost frames.
#include "platform/pulse/timestamp_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace orvane {
namespace {

constexpr uint32_t kChunkFrames = 4096;
constexpr double kWindowSeconds = 120.0;

struct Stamp {
  int64_t frame;
  double truth;      // true capture time of the frame
  double raw;
  double published;
};

// Lateness of one delivery: mostly a fraction of a millisecond, sometimes a
// scheduling hiccup of tens of milliseconds (as measured on a private server:
// median 0.2 ms, 99th percentile 2-4 ms, worst 80 ms). Own draw so results do not depend
// on the standard library's distributions.
class Jitter {
 public:
  explicit Jitter(uint64_t seed, double meanSeconds, double spikeSeconds)
      : random_(seed), mean_(meanSeconds), spike_(spikeSeconds) {}
  double next() {
    const double u = (static_cast<double>(random_() >> 11) + 0.5) / 9007199254740992.0;
    double late = -std::log(u) * mean_;
    if (random_() % 50 == 0) late += spike_ * (static_cast<double>(random_() % 1000) / 1000.0);
    return late;
  }

 private:
  std::mt19937_64 random_;
  double mean_;
  double spike_;
};

struct Delivery {
  double nominalRate = 48000;
  double rateOffsetPpm = 0;          // true rate = nominal × (1 + offset)
  uint32_t blockFrames = 4080;       // frames the server hands over at once
  double seconds = 300;
  double jitterMean = 0.0002;
  double jitterSpike = 0.030;
  uint64_t seed = 1;
  double gapAtSeconds = -1;          // frames lost here ...
  double gapSeconds = 0;             // ... for this long
};

// Runs a delivery through the model the way the engine does: per block, one
// callback; raw stamp of each ≤4096-frame chunk = arrival − still readable / rate.
std::vector<Stamp> run(const Delivery& d, TimestampModel& model) {
  const double trueRate = d.nominalRate * (1 + d.rateOffsetPpm * 1e-6);
  const double t0 = 1000.0;
  Jitter jitter(d.seed, d.jitterMean, d.jitterSpike);
  std::vector<Stamp> stamps;
  int64_t delivered = 0;    // stream frame index
  int64_t captured = 0;     // true frame clock, counts lost frames too
  bool gapDone = d.gapAtSeconds < 0;
  const auto total = static_cast<int64_t>(d.seconds * trueRate);
  while (captured < total) {
    if (!gapDone && static_cast<double>(captured) / trueRate >= d.gapAtSeconds) {
      captured += static_cast<int64_t>(d.gapSeconds * trueRate);
      gapDone = true;
    }
    const double blockStart = t0 + static_cast<double>(captured) / trueRate;
    const double arrival = t0 + static_cast<double>(captured + d.blockFrames) / trueRate + jitter.next();
    for (uint32_t offset = 0; offset < d.blockFrames; offset += kChunkFrames) {
      const double raw = arrival - (d.blockFrames - offset) / d.nominalRate;
      const double published = model.publish(delivered + offset, raw);
      stamps.push_back({delivered + offset, blockStart + offset / trueRate, raw, published});
    }
    delivered += d.blockFrames;
    captured += d.blockFrames;
  }
  return stamps;
}

// Worst error, in ppm, of the elapsed time between two stamps ≥120 s apart
// (how the recording's rate is measured: first and last stamp).
double worstEndpointPpm(const std::vector<Stamp>& s, double Stamp::*field, size_t from = 0) {
  double worst = 0;
  size_t j = from;
  for (size_t i = from; i < s.size(); i += 7) {
    while (j < s.size() && s[j].truth - s[i].truth < kWindowSeconds) ++j;
    if (j == s.size()) break;
    const double truth = s[j].truth - s[i].truth;
    worst = std::max(worst, std::abs((s[j].*field - s[i].*field) - truth) / truth * 1e6);
  }
  return worst;
}

// Worst slope error, in ppm, of a least-squares fit of stamp against true time
// over 120 s windows stepped by 10 s.
double worstFitPpm(const std::vector<Stamp>& s, double Stamp::*field) {
  double worst = 0;
  for (size_t i = 0; i < s.size();) {
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    size_t n = 0, j = i;
    for (; j < s.size() && s[j].truth - s[i].truth <= kWindowSeconds; ++j, ++n) {
      const double x = s[j].truth - s[i].truth;
      const double y = s[j].*field - s[i].*field;
      sx += x; sy += y; sxx += x * x; sxy += x * y;
    }
    if (j == s.size()) break;
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    worst = std::max(worst, std::abs(slope - 1) * 1e6);
    const double next = s[i].truth + 10;
    while (i < s.size() && s[i].truth < next) ++i;
  }
  return worst;
}

// Index of the first stamp at least `seconds` into the run.
size_t after(const std::vector<Stamp>& s, double seconds) {
  size_t i = 0;
  while (i < s.size() && s[i].truth - s[0].truth < seconds) ++i;
  return i;
}

TEST(TimestampModelTest, PublishedStampsHoldOnePpmWhereRawStampsDoNot) {
  for (double offsetPpm : {0.0, 100.0, -100.0}) {
    for (uint64_t seed : {1u, 2u, 3u}) {
      SCOPED_TRACE(testing::Message() << "offset " << offsetPpm << " ppm, seed " << seed);
      Delivery d;
      d.rateOffsetPpm = offsetPpm;
      d.seed = seed;
      TimestampModel model(d.nominalRate);
      const auto s = run(d, model);
      // The published stamps follow the true clock, offset included. The
      // first seconds know the rate only roughly, hence the looser bound for
      // windows that start there.
      EXPECT_LT(worstFitPpm(s, &Stamp::published), 1.0);
      EXPECT_LT(worstEndpointPpm(s, &Stamp::published, after(s, 10)), 1.0);
      EXPECT_LT(worstEndpointPpm(s, &Stamp::published), 2.0);
      EXPECT_NEAR(model.rateOffset() * 1e6, offsetPpm, 0.2);
      // The raw stamps are what the model is for: far worse.
      EXPECT_GT(worstEndpointPpm(s, &Stamp::raw), 20.0);
      EXPECT_EQ(model.restartCount(), 0);
    }
  }
}

TEST(TimestampModelTest, TwoSecondBlocksAreTimedFromTheirArrival) {
  for (double offsetPpm : {0.0, 100.0, -100.0}) {
    SCOPED_TRACE(testing::Message() << "offset " << offsetPpm << " ppm");
    Delivery d;
    d.nominalRate = 50000;
    d.blockFrames = 100000;
    d.rateOffsetPpm = offsetPpm;
    d.jitterSpike = 0.010;
    TimestampModel model(d.nominalRate);
    const auto s = run(d, model);
    // One arrival per 2 s tells the rate slowly: a late block among the
    // first few costs ppm for the first minute; later windows come close to 1 ppm.
    EXPECT_LT(worstFitPpm(s, &Stamp::published), 3.0);
    EXPECT_LT(worstEndpointPpm(s, &Stamp::published), 10.0);
    EXPECT_LT(worstEndpointPpm(s, &Stamp::published, after(s, 60)), 1.5);
    EXPECT_LT(worstEndpointPpm(s, &Stamp::published) * 5, worstEndpointPpm(s, &Stamp::raw));
    EXPECT_NEAR(model.rateOffset() * 1e6, offsetPpm, 0.5);
    EXPECT_EQ(model.restartCount(), 0);
  }
}

TEST(TimestampModelTest, LostFramesRestartTheModelOnTheTrueClock) {
  Delivery d;
  d.rateOffsetPpm = 100;
  d.gapAtSeconds = 100;
  d.gapSeconds = 1.5;
  TimestampModel model(d.nominalRate);
  const auto s = run(d, model);
  EXPECT_EQ(model.restartCount(), 1);
  // Find where the stream resumed; from the confirmed restart on, stamps are
  // on the true clock again (one constant delay) and hold 1 ppm.
  size_t resumed = 0;
  while (s[resumed].truth - s[0].truth < 100) ++resumed;
  size_t restarted = resumed;
  while (restarted < s.size() && s[restarted].published != s[restarted].raw) ++restarted;
  ASSERT_LT(restarted, s.size());
  EXPECT_LT(s[restarted].truth - s[resumed].truth, TimestampModel::kGapConfirmSeconds + 0.5);
  EXPECT_LT(worstEndpointPpm(s, &Stamp::published, restarted), 2.0);
  size_t settled = restarted;
  while (settled < s.size() && s[settled].truth - s[restarted].truth < 10) ++settled;
  EXPECT_LT(worstEndpointPpm(s, &Stamp::published, settled), 1.0);
  // Before the gap the stamps ran on the true clock too.
  const std::vector<Stamp> before(s.begin(), s.begin() + static_cast<long>(resumed));
  EXPECT_LT(worstEndpointPpm(before, &Stamp::published), 1.0);
}

TEST(TimestampModelTest, OneLateBlockIsNotAGap) {
  TimestampModel model(48000);
  double t = 50;
  int64_t frame = 0;
  for (int i = 0; i < 400; ++i, frame += 4800, t += 0.1) {
    const double late = (i == 200) ? 0.6 : 0.0005 * (i % 3);
    const double published = model.publish(frame, t + late);
    if (i > 0) {
      EXPECT_NEAR(published, t, 0.001) << "chunk " << i;
    }
  }
  EXPECT_EQ(model.restartCount(), 0);
}

TEST(TimestampModelTest, FramesGoingBackOrStampsFarTooEarlyStartAgain) {
  TimestampModel model(48000);
  for (int i = 0; i < 100; ++i) model.publish(i * 4800, 10 + i * 0.1);
  // The stream was re-created: frame count back to zero.
  EXPECT_DOUBLE_EQ(model.publish(0, 30.0), 30.0);
  EXPECT_EQ(model.restartCount(), 1);
  model.publish(4800, 30.1);
  // A stamp a second earlier than the envelope allows.
  EXPECT_DOUBLE_EQ(model.publish(9600, 29.2), 29.2);
  EXPECT_EQ(model.restartCount(), 2);
  // An explicit reset starts again without counting as a restart.
  model.reset();
  EXPECT_DOUBLE_EQ(model.publish(100000, 99.0), 99.0);
  EXPECT_EQ(model.restartCount(), 2);
}

}  // namespace
}  // namespace orvane
