// The echo canceller: both sides in step whatever the call lengths, the echo
// of the same moment's system audio taken out, and the echo path's delay found
// again when it moves.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "finalize/echo_canceller.h"

namespace orvane {
namespace {

constexpr int kRate = 48000;

// Low noise in bursts of varying loudness, as speech comes: the delay search
// and the filter both need a far end that starts and stops.
std::vector<float> farEnd(size_t frames) {
  std::mt19937 random(11);
  std::normal_distribution<float> noise(0, 0.03f);
  std::vector<float> far(frames);
  float low = 0;
  for (size_t i = 0; i < frames; ++i) far[i] = low = 0.9f * low + noise(random) * float(std::fabs(std::sin(i * 3.1 / kRate)));
  return far;
}

// mic = the far end `delay` frames later at -10 dB, plus `near`.
std::vector<float> heard(const std::vector<float>& far, size_t delay, const std::vector<float>& near) {
  std::vector<float> mic(near);
  for (size_t i = delay; i < mic.size(); ++i) mic[i] += 0.316f * far[i - delay];
  return mic;
}

// Runs the canceller over both in calls of `chunk` frames; returns both sides as it gave them.
std::pair<std::vector<float>, std::vector<float>> cancel(const std::vector<float>& mic,
                                                         const std::vector<float>& system, uint32_t chunk) {
  auto canceller = EchoCanceller::create();
  EXPECT_TRUE(canceller.ok());
  std::vector<float> micOut(mic.size() + 1), systemOut(mic.size() + 1);
  size_t given = 0;
  for (size_t i = 0; i < mic.size(); i += chunk) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(chunk, mic.size() - i));
    given += canceller.value()->process(&mic[i], &system[i], n, &micOut[given], &systemOut[given], chunk);
  }
  while (uint32_t n = canceller.value()->drain(&micOut[given], &systemOut[given], chunk)) given += n;
  EXPECT_EQ(given, mic.size());
  micOut.resize(given), systemOut.resize(given);
  return {micOut, systemOut};
}

double energy(const std::vector<float>& s, double from, double to) {
  double sum = 0;
  for (auto i = size_t(from * kRate); i < size_t(to * kRate); ++i) sum += double(s[i]) * s[i];
  return sum;
}

TEST(EchoCanceller, GivesBothSidesBackInStepWhateverTheCallLengths) {
  // A near-end burst with no far end comes out where it went in; the system
  // side comes out untouched.
  std::vector<float> mic = farEnd(kRate), system(kRate);
  for (size_t i = 0; i < system.size(); ++i) system[i] = float(i % 97) / 1000;
  std::fill(mic.begin(), mic.begin() + 20000, 0.0f);
  std::fill(mic.begin() + 24800, mic.end(), 0.0f);
  for (uint32_t chunk : {480u, 1000u, 333u, 8192u}) {
    auto [micOut, systemOut] = cancel(mic, system, chunk);
    EXPECT_EQ(systemOut, system) << chunk;
    int lag = 0;
    double best = 0;
    for (int shift = -500; shift <= 500; ++shift) {
      double sum = 0;
      for (int i = 20000; i < 24800; ++i) sum += mic[i] * micOut[i + shift];
      if (sum > best) best = sum, lag = shift;
    }
    EXPECT_LE(std::abs(lag), 2) << chunk;  // the library's latency is 384 frames
  }
}

TEST(EchoCanceller, TakesOutTheEchoAndFindsItAgainWhenThePathMoves) {
  // 60 ms for 12 s, then 180 ms: 15 dB less echo (of noise; speech goes
  // past 25 dB, scripts/bench-echo.sh) after 5 s, and again within 3 s of the move.
  const std::vector<float> far = farEnd(20 * kRate), silence(far.size());
  std::vector<float> mic = heard(far, kRate * 60 / 1000, silence);
  const std::vector<float> moved = heard(far, kRate * 180 / 1000, silence);
  std::copy(moved.begin() + 12 * kRate, moved.end(), mic.begin() + 12 * kRate);
  auto [out, system] = cancel(mic, far, 8160);
  EXPECT_GT(10 * std::log10(energy(mic, 5, 12) / energy(out, 5, 12)), 15);
  EXPECT_GT(10 * std::log10(energy(mic, 15, 20) / energy(out, 15, 20)), 15);
  // Fed a second apart, the same tracks keep their echo: it is the same moment that counts.
  std::vector<float> late(far.size());
  std::copy(far.begin() + kRate, far.end(), late.begin());
  auto [kept, unused] = cancel(mic, late, 8160);
  EXPECT_LT(10 * std::log10(energy(mic, 5, 12) / energy(kept, 5, 12)), 10);
}

TEST(EchoDelayEstimator, FindsTheDelayAndKeepsItThroughASilentFarEnd) {
  const std::vector<float> far = farEnd(8 * kRate), silence(far.size());
  const std::vector<float> mic = heard(far, kRate * 137 / 1000, silence);
  EchoDelayEstimator estimator;
  estimator.add(mic.data(), far.data(), uint32_t(mic.size()));
  ASSERT_TRUE(estimator.delayMs());
  EXPECT_NEAR(*estimator.delayMs(), 137, 2);
  estimator.add(silence.data(), silence.data(), 4 * kRate);
  EXPECT_NEAR(estimator.delayMs().value_or(0), 137, 2);
}

// The estimator's delay after each 10 ms of both tracks, in ms (0 before one is found).
std::vector<double> delays(const std::vector<float>& mic, const std::vector<float>& system) {
  EchoDelayEstimator estimator;
  std::vector<double> found;
  for (size_t i = 0; i + 480 <= mic.size(); i += 480) {
    estimator.add(&mic[i], &system[i], 480);
    found.push_back(estimator.delayMs().value_or(0));
  }
  return found;
}

TEST(EchoDelayEstimator, FollowsAPathThatMovedWithinASecondAndNotALinesEnd) {
  // The far end plays 0-8 s and 8.3-12 s; the path moves from 60 to 130 ms
  // in the pause between (a loopback raising its latency). At 12 s the far
  // end stops, its player's residue at -95 dBFS lasting 0.3 s, while the near
  // end, speaking over it since 11 s, goes on until 12.2 s: the two falls
  // line up at some lag, which is no echo's.
  std::vector<float> far = farEnd(15 * kRate), near(far.size());
  std::fill(far.begin() + 8 * kRate, far.begin() + 83 * kRate / 10, 0.0f);
  std::mt19937 random(3);
  std::uniform_real_distribution<float> residue(-3e-5f, 3e-5f), voice(-0.2f, 0.2f);
  for (size_t i = 12 * kRate; i < far.size(); ++i) far[i] = i < 123 * kRate / 10 ? residue(random) : 0.0f;
  for (size_t i = 11 * kRate; i < 122 * kRate / 10; ++i) near[i] = voice(random) * float(std::fabs(std::sin(i * 20.0 / kRate)));
  std::vector<float> mic = heard(far, kRate * 60 / 1000, near);
  const std::vector<float> moved = heard(far, kRate * 130 / 1000, near);
  std::copy(moved.begin() + 8 * kRate, moved.end(), mic.begin() + 8 * kRate);
  const std::vector<double> found = delays(mic, far);
  EXPECT_NEAR(found[790], 60, 2);
  // Found within 0.8 s of the far end playing again (three seconds took 1.2),
  // and kept to the end.
  for (size_t block = 910; block < found.size(); ++block) ASSERT_NEAR(found[block], 130, 2) << block;
}

}  // namespace
}  // namespace orvane
