// TimestampModel against synthetic deliveries: true capture times, jitter, blocks, clock offsets, lost frames.
#include "platform/pulse/timestamp_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace orvane {
namespace {

constexpr uint32_t kChunkFrames = 4096;

struct Stamp { double truth, raw, published; };  // truth: the true capture time of the chunk's first frame

struct Delivery {
  double nominalRate = 48000, rateOffsetPpm = 0;  // true rate = nominal × (1 + offset)
  uint32_t blockFrames = 4080;                     // frames the server hands over at once
  double jitterSpike = 0.030;
  uint64_t seed = 1;
  double gapAtSeconds = -1, gapSeconds = 0;  // frames lost from here, for this long ...
  bool gapReported = false;                  // ... and the stream's frame index skips them
};

// Runs 300 s of delivery through the model as the engine does: per block, one callback; raw stamp of each
// ≤4096-frame chunk = arrival − still readable / rate. A block is late by an exponential 0.2 ms on average,
// and one in 50 by up to `jitterSpike` more (as measured on a private server); own draw, so results do not
// depend on the standard library's distributions.
std::vector<Stamp> run(const Delivery& d, TimestampModel& model) {
  const double trueRate = d.nominalRate * (1 + d.rateOffsetPpm * 1e-6);
  std::mt19937_64 random(d.seed);
  std::vector<Stamp> stamps;
  int64_t delivered = 0, captured = 0;  // the stream's frame index; the true frame clock, lost frames too
  for (bool gapDone = d.gapAtSeconds < 0; captured < static_cast<int64_t>(300 * trueRate);) {
    if (!gapDone && captured / trueRate >= d.gapAtSeconds) {
      captured += static_cast<int64_t>(d.gapSeconds * trueRate);
      if (d.gapReported) delivered += static_cast<int64_t>(d.gapSeconds * trueRate);
      gapDone = true;
    }
    double late = -std::log((static_cast<double>(random() >> 11) + 0.5) / 9007199254740992.0) * 0.0002;
    if (random() % 50 == 0) late += d.jitterSpike * static_cast<double>(random() % 1000) / 1000.0;
    const double arrival = 1000.0 + (captured + d.blockFrames) / trueRate + late;
    for (uint32_t offset = 0; offset < d.blockFrames; offset += kChunkFrames) {
      const double raw = arrival - (d.blockFrames - offset) / d.nominalRate;
      stamps.push_back({1000.0 + (captured + offset) / trueRate, raw, model.publish(delivered + offset, raw)});
    }
    delivered += d.blockFrames;
    captured += d.blockFrames;
  }
  return stamps;
}

// Index of the first stamp at least `seconds` after stamp `from`.
size_t after(const std::vector<Stamp>& s, double seconds, size_t from = 0) {
  size_t i = from;
  while (i < s.size() && s[i].truth - s[from].truth < seconds) ++i;
  return i;
}

// Worst error, in ppm, of the time between two stamps ≥120 s apart, the first in [from, to) (as a rate is measured).
double worstPpm(const std::vector<Stamp>& s, double Stamp::*field, size_t from = 0, size_t to = SIZE_MAX) {
  double worst = 0;
  size_t j = from;
  for (size_t i = from; i < std::min(to, s.size()); i += 7) {
    while (j < s.size() && s[j].truth - s[i].truth < 120) ++j;
    if (j == s.size() || j >= to) break;
    const double truth = s[j].truth - s[i].truth;
    worst = std::max(worst, std::abs((s[j].*field - s[i].*field) - truth) / truth * 1e6);
  }
  return worst;
}

// Chunks every 85 ms, and 2 s blocks (slow to tell the rate: a late one early costs ppm for the first minute).
TEST(TimestampModelTest, PublishedStampsHoldOnePpmWhereRawStampsDoNot) {
  struct Case { double rate; uint32_t block; double spike, settleSeconds, settledPpm, earlyPpm, rateTolerancePpm; };
  for (const Case& c : {Case{48000, 4080, 0.030, 10, 1.0, 2.0, 0.2}, Case{50000, 100000, 0.010, 60, 1.5, 10, 0.5}}) {
    for (double offsetPpm : {0.0, 100.0, -100.0}) {
      for (uint64_t seed : {1u, 2u}) {
        SCOPED_TRACE(testing::Message() << c.block << "-frame blocks, " << offsetPpm << " ppm, seed " << seed);
        const Delivery d{c.rate, offsetPpm, c.block, c.spike, seed};
        TimestampModel model(d.nominalRate);
        const auto s = run(d, model);
        EXPECT_LT(worstPpm(s, &Stamp::published, after(s, c.settleSeconds)), c.settledPpm);
        // The first second's stamps still settle onto the earliest arrivals (the track places them exactly).
        EXPECT_LT(worstPpm(s, &Stamp::published, after(s, TimestampModel::kSettleSeconds)), c.earlyPpm);
        EXPECT_NEAR(model.rateOffset() * 1e6, offsetPpm, c.rateTolerancePpm);
        // The raw stamps are what the model is for: far worse.
        EXPECT_LT(worstPpm(s, &Stamp::published) * 5, worstPpm(s, &Stamp::raw));
        EXPECT_EQ(model.restartCount() + model.stepCount(), 0);
      }
    }
  }
}

// A start on a busy machine: the first half second of chunks all came 10 ms
// late, then on time. The line still settles onto the earliest arrivals.
TEST(TimestampModelTest, AStartWhoseFirstHalfSecondCameLateSettlesOnTheEarliestArrivals) {
  TimestampModel model(48000);
  for (int64_t frame = 0; frame < 3 * 48000; frame += kChunkFrames) {
    const double truth = 1000.0 + static_cast<double>(frame) / 48000;
    const double published = model.publish(frame, truth + (frame < 24000 ? 0.010 : 0.0));
    if (frame >= 48000) ASSERT_NEAR(published, truth, 0.0005) << "frame " << frame;
  }
}

// Frames lost at 100 s, the frame index skipping them or not: a second on, the published stamps carry the
// loss, back on the true clock as before it, and the fit goes on. A 1 ms loss is under the jitter's reach:
// it stays in the stamps, and moves the fit by no more than 1 ms over the rest.
TEST(TimestampModelTest, LostFramesPutTheStampsBackOnTheTrueClockWithinASecond) {
  for (bool reported : {false, true}) {
    for (double hole : {0.001, 0.020, 0.085, 0.170, 2.0}) {
      SCOPED_TRACE(testing::Message() << hole * 1000 << " ms, reported " << reported);
      const Delivery d{48000, 100, 4080, 0.030, 3, 100, hole, reported};
      TimestampModel model(d.nominalRate);
      const auto s = run(d, model);
      const size_t lost = after(s, 100), confirmed = after(s, 1.2, lost);
      double worst = 0, was = s[lost - 1].published - s[lost - 1].truth;  // on the true clock but for a delay
      for (auto i = confirmed; i < s.size(); ++i) worst = std::max(worst, std::abs(s[i].published - s[i].truth - was));
      const bool small = hole < 0.005;
      EXPECT_LT(worst, small ? 0.0011 : 0.0002);
      EXPECT_EQ(model.stepCount(), reported || small ? 0 : 1);
      EXPECT_NEAR(model.lastStepSeconds(), reported || small ? 0 : hole, 0.0002);
      EXPECT_EQ(model.restartCount(), 0);
      EXPECT_NEAR(model.rateOffset() * 1e6, 100, small ? 5 : 1);
    }
  }
}

// Late deliveries are no loss: one 1.5 s block late as a whole (its chunks share the delay), or nine
// arrivals late by 50 ms, short of a second. The stream re-created (its frame count back to zero) or a
// stamp a second earlier than the envelope allows starts the model again.
TEST(TimestampModelTest, LateDeliveriesAreNoLossButFramesGoingBackOrStampsFarTooEarlyStartAgain) {
  TimestampModel model(48000);
  for (int i = 0; i < 400; ++i) {
    const double t = 50 + i * 0.1, jitter = 0.0005 * (i % 3);
    const double late = i >= 200 && i < 215 ? 0.6 : i >= 300 && i < 309 ? 0.05 + jitter : jitter;
    const double published = model.publish(i * 4800, t + late);
    EXPECT_TRUE(i == 0 || std::abs(published - t) < 0.001) << "chunk " << i << ": " << published;
  }
  EXPECT_EQ(model.restartCount() + model.stepCount(), 0);
  EXPECT_DOUBLE_EQ(model.publish(0, 130.0), 130.0);
  model.publish(4800, 130.1);
  EXPECT_DOUBLE_EQ(model.publish(9600, 129.2), 129.2);
  EXPECT_EQ(model.restartCount(), 2);
}

// A helper starved of CPU reads late (5-40 ms, for 5 s, and again soon after the loss) and asks the server as
// late; 43 ms lost move the server's count, by 0.7 s more (as PipeWire's did after its graph stalled). Its count
// moves on in whole quanta, stamped when asked: 1024 frames (21 ms, as PipeWire's graph runs) or 64. Answers come
// as the stream asks: a round of six, one per block, every 5 s; while a step waits, one after another. Lateness
// inserts nothing (a server asked 18 ms into a cycle shows 18 ms), the loss is placed.
TEST(TimestampModelTest, TheServersCountTellsAStarvedHelperFromLostFramesEvenInWholeGraphCycles) {
  constexpr double kRate = 48000, kPush = 0.0003, kAsk = 0.0004, kLossAt = 22, kLoss = 2048 / kRate, kLag = 0.7;
  const auto truth = [&](int64_t frame) { return 100 + frame / kRate + (frame >= kLossAt * kRate ? kLoss : 0); };
  for (int64_t quantum : {1024, 64}) {
    for (uint64_t seed : {1u, 2u, 3u}) {
      SCOPED_TRACE(testing::Message() << quantum << "-frame quanta, seed " << seed);
      const auto written = [&](double t) {  // the server's count at host time t
        const double frames = (t - kPush - 100) * kRate, from = kLossAt * kRate;
        const double kept = frames < from ? frames : std::max(from, frames - (kLoss + kLag) * kRate);
        return static_cast<int64_t>(kept + 1e-6) / quantum * quantum;
      };
      TimestampModel model(kRate);
      std::mt19937_64 random(seed);
      int answers = 0;
      const auto answer = [&](double t) {
        model.serverStamp(written(t), t);
        if (++answers % 6 == 0) model.serverRoundEnd();
      };
      for (int64_t first = 0; first < 30 * kRate; first += 4096) {
        const double u = static_cast<double>(random() % 1000) / 1000, at = truth(first);
        const bool starved = (at >= 112 && at < 117) || (at >= 123.5 && at < 125);
        const double read = truth(first + 4096) + kPush + (starved ? 0.005 + 0.035 * u : 0.0002 * u);
        const double published = model.publish(first, read - 4096 / kRate);
        if (first / 4096 % 59 < 6) answer(read + kAsk);
        for (double t = read + kAsk; model.sweepingServer();) answer(t += kAsk);
        EXPECT_TRUE((at >= kLossAt + 100 && at < kLossAt + 101.5) || std::abs(published - at - kPush) < 0.001)
            << at - 100 << " s: " << (published - at - kPush) * 1000 << " ms";
      }
      EXPECT_EQ(model.stepCount(), 1);
      EXPECT_NEAR(model.lastStepSeconds(), kLoss, 0.0005);
      EXPECT_GT(model.lateRunCount(), 0);
    }
  }
}

// A helper starved for 5 s reads in late batches, then is stopped for 5 s and reads the server's whole backlog at
// once, 16 ms late: every chunk of that one arrival sits 16 ms above the envelope, seconds of frames after the last
// stamp on it. No frame was lost: every published stamp stays on the true clock. So too when the stream's first
// arrival came 40 ms late (the published stamps settled 40 ms below the anchor), and the stamps after the stall
// keep a few ms above the line for seconds.
TEST(TimestampModelTest, AStoppedHelpersBacklogReadAtOnceBendsNothing) {
  constexpr double kRate = 48000, kPush = 0.0003, kAsk = 0.0004;
  const auto truth = [&](int64_t frame) { return 100 + frame / kRate; };
  for (double firstLate : {0.0, 0.04}) {
    SCOPED_TRACE(testing::Message() << "first arrival " << firstLate * 1000 << " ms late");
    TimestampModel model(kRate);
    std::mt19937_64 random(7);
    int answers = 0;
    const auto answer = [&](double t) {
      model.serverStamp(static_cast<int64_t>((t - kPush - 100) * kRate) / 1024 * 1024, t);
      if (++answers % 6 == 0) model.serverRoundEnd();
    };
    int64_t first = 0, arrivals = 0;
    // One arrival of `chunks` chunks, `late` after the last of them was captured.
    const auto arrive = [&](int chunks, double late) {
      const double arrival = truth(first + chunks * 4096) + kPush + late;
      for (int i = 0; i < chunks; ++i, first += 4096) {
        const double published = model.publish(first, arrival - (chunks - i) * 4096 / kRate);
        if (!model.settling()) {
          EXPECT_NEAR((published - truth(first) - kPush) * 1000, 0, 1.0) << truth(first) - 100 << " s";
        }
      }
      if (arrivals++ % 59 < 6) answer(arrival + kAsk);
      for (double t = arrival + kAsk; model.sweepingServer();) answer(t += kAsk);
    };
    const auto onTime = [&] { return 0.0002 * static_cast<double>(random() % 1000) / 1000; };
    arrive(1, firstLate);
    while (truth(first) < 102) arrive(1, onTime());
    while (truth(first) < 107) arrive(4, 0.1 + static_cast<double>(random() % 1000) / 1000);
    arrive(static_cast<int>(5 * kRate / 4096), 0.0165);
    while (truth(first) < 110) arrive(1, 0.004 + onTime());
    while (truth(first) < 120) arrive(1, onTime());
    EXPECT_EQ(model.stepCount(), 0);
  }
}

// Recorded on PipeWire (graph cycles of 1024 frames, fragments of 4096): the blocks of both inputs of one
// recording whose helper was starved for 5 s, stopped for 5 s, and then read the server's backlog in arrivals of
// seconds of frames, each late by up to 9 s. Both inputs lost one graph cycle meanwhile (the server's count
// showed it): after the stall every stamp on time sits 21.3 ms later than before. Each block: its first frame,
// its raw stamp less the first block's and less its frames' time (ms), and when it was read after that stamp (ms).
struct RecordedBlock {
  int64_t frame;
  double lateMs, readMs;
};
constexpr RecordedBlock kStalledMic[] = {
    {0, 0.00, 109.2}, {4096, 31.86, 85.3}, {8192, -1.91, 85.3}, {12288, 1.91, 85.3}, {16384, -0.32, 85.4},
    {20480, 7.39, 85.3}, {24576, -1.90, 85.3}, {28672, 3.19, 85.4}, {32768, -0.25, 85.3}, {36864, 1.96, 85.3},
    {40960, -0.08, 85.3}, {45056, -0.89, 85.3}, {49152, -3.88, 85.3}, {53248, -3.93, 85.3},
    {57344, -1.99, 85.3}, {61440, 1.94, 85.3}, {65536, -1.58, 85.3}, {69632, -3.94, 85.3}, {73728, -3.97, 85.3},
    {77824, -3.99, 85.3}, {81920, -3.82, 85.3}, {86016, -3.89, 85.3}, {90112, -3.74, 85.3},
    {94208, 126.31, 1146.6}, {102400, 931.62, 706.4}, {110592, 529.53, 9215.1}, {126976, 529.53, 8893.5},
    {143360, 529.53, 8560.6}, {155648, 8322.58, 532.5}, {172032, 8322.58, 191.4}, {180224, 7340.87, 1035.7},
    {196608, 7340.87, 694.5}, {212992, 7340.87, 353.2}, {229376, 5051.36, 2308.5}, {245760, 5051.36, 1968.9},
    {262144, 5051.36, 1628.7}, {278528, 5051.36, 1287.7}, {294912, 5051.36, 946.7}, {311296, 5051.36, 605.6},
    {327680, 5051.36, 264.4}, {339968, 4292.10, 778.2}, {356352, 4292.10, 437.2}, {372736, 4292.10, 95.9},
    {376832, 1748.25, 2568.4}, {393216, 1748.25, 2227.1}, {409600, 1748.25, 1885.8}, {425984, 1748.25, 1544.6},
    {442368, 1748.25, 1203.3}, {458752, 140.36, 2492.1}, {475136, 140.36, 2151.2}, {491520, 140.36, 1810.0},
    {507904, 140.36, 1468.7}, {524288, 140.36, 1127.5}, {540672, 140.36, 786.2}, {557056, 140.36, 444.9},
    {573440, 140.36, 103.6}, {577536, 75.05, 95.5}, {581632, 64.90, 189.5}, {589824, 21.92, 91.2},
    {593920, 79.11, 386.1}, {610304, 72.69, 275.1}, {622592, 17.66, 89.8}, {626688, 19.34, 85.3},
    {630784, 24.75, 85.4}, {634880, 27.16, 85.4}, {638976, 20.30, 85.3}, {643072, 27.90, 85.3},
    {647168, 19.86, 85.4}, {651264, 19.97, 85.4}, {655360, 17.84, 85.4}, {659456, 20.77, 85.4},
    {663552, 18.47, 85.4}, {667648, 18.51, 85.4}, {671744, 297.82, 89.4}
};
constexpr RecordedBlock kStalledSystem[] = {
    {0, 0.00, 107.5}, {4096, -14.56, 85.3}, {8192, -14.19, 85.4}, {12288, -11.81, 85.3}, {16384, -14.66, 85.3},
    {20480, -6.92, 85.4}, {24576, -13.40, 85.3}, {28672, -12.68, 85.4}, {32768, -12.63, 85.3},
    {36864, -14.60, 85.3}, {40960, -7.31, 85.4}, {45056, -6.15, 85.4}, {49152, -12.69, 85.3},
    {53248, -10.97, 85.3}, {57344, -6.22, 85.4}, {61440, -14.39, 85.3}, {65536, -14.66, 85.3},
    {69632, -14.70, 85.3}, {73728, -14.74, 85.3}, {77824, -14.59, 85.3}, {81920, -14.60, 85.3},
    {86016, -14.46, 85.3}, {90112, 94.43, 1146.3}, {98304, 899.66, 706.2}, {106496, 8858.38, 853.6},
    {122880, 8858.38, 512.6}, {139264, 8858.38, 171.4}, {147456, 8291.63, 616.5}, {163840, 8291.63, 275.3},
    {176128, 7857.89, 604.5}, {192512, 7857.89, 263.4}, {204800, 7268.19, 605.0}, {221184, 7268.19, 263.8},
    {233472, 6168.91, 1122.4}, {249856, 6168.91, 781.2}, {266240, 6168.91, 439.9}, {282624, 6168.91, 98.6},
    {286720, 5585.70, 605.4}, {303104, 5585.70, 264.2}, {315392, 3473.51, 2140.4}, {331776, 3473.51, 1799.2},
    {348160, 3473.51, 1457.9}, {364544, 3473.51, 1116.6}, {380928, 3473.51, 775.5}, {397312, 3473.51, 434.2},
    {413696, 181.99, 3421.4}, {430080, 181.99, 3080.1}, {446464, 181.99, 2738.8}, {462848, 181.99, 2397.6},
    {479232, 181.99, 2056.3}, {495616, 181.99, 1715.0}, {512000, 181.99, 1373.7}, {528384, 181.99, 1032.6},
    {544768, 181.99, 701.8}, {561152, 181.99, 362.7}, {577536, 51.94, 180.5}, {585728, 10.03, 128.2},
    {589824, 60.12, 608.0}, {606208, 60.12, 266.8}, {618496, 8.55, 98.5}, {622592, 13.94, 85.4},
    {626688, 10.38, 85.3}, {630784, 6.71, 85.4}, {634880, 7.07, 85.4}, {638976, 6.90, 85.3},
    {643072, 7.26, 85.6}, {647168, 7.69, 85.4}, {651264, 9.21, 85.4}, {655360, 7.10, 85.3},
    {659456, 7.81, 85.4}, {663552, 7.42, 85.4}, {667648, 19.18, 431.1}
};

// Replays one input's blocks as its stream does, answered by a server whose count moves on in graph cycles and
// lost one of them during the stop. The frames sit where they were captured once the stamps after the stall are
// on time: the loss is placed whole, sized from those stamps and not from the backlog's lateness.
template <size_t N>
double stalledLoss(const RecordedBlock (&blocks)[N]) {
  constexpr double kRate = 48000, kPush = 0.0003, kAsk = 0.0004, kLossAt = 107, kLoss = 1024 / kRate;
  double envelope = 0;  // the earliest stamp before the stall
  for (size_t i = 0; i < 20; ++i) envelope = std::min(envelope, blocks[i].lateMs / 1000);
  const auto captured = [&](int64_t frame) {
    const double t = 100 + envelope + frame / kRate;
    return t + (t > kLossAt ? kLoss : 0);
  };
  const auto written = [&](double t) {
    const double frames = (t - kPush - 100 - envelope - (t > kLossAt ? kLoss : 0)) * kRate;
    return static_cast<int64_t>(frames) / 1024 * 1024;
  };
  TimestampModel model(kRate);
  int answers = 0;
  const auto answer = [&](double t) {
    model.serverStamp(written(t), t);
    if (++answers % 6 == 0) model.serverRoundEnd();
  };
  for (size_t i = 0; i < N; ++i) {
    const RecordedBlock& block = blocks[i];
    const double raw = 100 + block.frame / kRate + block.lateMs / 1000, read = raw + block.readMs / 1000;
    const double published = model.publish(block.frame, raw);
    // Half a second after the stamps came back on time the loss is placed (the last block came at the stop).
    if (i + 3 >= N && i + 1 < N) {
      EXPECT_NEAR((published - captured(block.frame)) * 1000, 0, 1.5) << "block " << i;
    }
    if (i % 59 < 6) answer(read + kAsk);
    for (double t = read + kAsk; model.sweepingServer();) answer(t += kAsk);
  }
  EXPECT_EQ(model.stepCount(), 1);
  return model.lastStepSeconds();
}

TEST(TimestampModelTest, AfterAStallBothInputsPlaceTheLossTheServerMadeAlike) {
  const double mic = stalledLoss(kStalledMic), system = stalledLoss(kStalledSystem);
  EXPECT_NEAR(mic * 1000, 1024 / 48.0, 2.0);
  EXPECT_NEAR(system * 1000, 1024 / 48.0, 2.0);
  EXPECT_NEAR((mic - system) * 1000, 0, 2.0);
}

}  // namespace
}  // namespace orvane
