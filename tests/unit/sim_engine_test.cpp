// The scripted microphone: time stamps from the frame index at any clock
// offset, seeded jitter, the virtual clock, start failures, configuration
// changes, the stop hand-shake and the signals it plays.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "support/sim_clock.h"
#include "support/sim_engine.h"

namespace orvane::sim {
namespace {

using namespace std::chrono_literals;

// Generous: only a machine that stalls for this long fails a wait.
constexpr auto kPatience = 30s;

struct Delivery {
  AudioFormat format;
  uint32_t frames = 0;
  AudioTime when;
  uint64_t deliveredAt = 0;  // host clock at the tap call
  std::vector<uint8_t> firstPlane;
};

// Collects what the tap receives, and lets a test wait for a number of buffers.
class TapRecorder {
 public:
  AudioEngine::TapBlock block() {
    return [this](const PcmBuffer& buffer, const AudioTime& when) {
      Delivery d{buffer.format(), buffer.frameLength(), when, HostClock::now(), {}};
      const size_t bytes = buffer.frameLength() * buffer.planeStride();
      d.firstPlane.assign(buffer.plane(0), buffer.plane(0) + bytes);
      std::lock_guard lock(mutex_);
      deliveries_.push_back(std::move(d));
      cv_.notify_all();
    };
  }
  std::vector<Delivery> waitFor(size_t count) {
    std::unique_lock lock(mutex_);
    EXPECT_TRUE(cv_.wait_for(lock, kPatience, [&] { return deliveries_.size() >= count; }))
        << "only " << deliveries_.size() << " of " << count << " buffers";
    return deliveries_;
  }
  size_t count() {
    std::lock_guard lock(mutex_);
    return deliveries_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Delivery> deliveries_;
};

class SimEngineTest : public testing::Test {
 protected:
  void SetUp() override { SimClock::install(200); }
  void TearDown() override { SimClock::uninstall(); }

  static MicScript zeros(double rate = 48000, uint32_t channels = 1) {
    MicScript script;
    script.format = AudioFormat::standard(rate, channels);
    script.signal.kind = SignalKind::zeros;
    return script;
  }
};

int64_t nanosOfFrames(int64_t frames, double rate, double ppm) {
  return std::llround(static_cast<double>(frames) / (rate * (1 + ppm * 1e-6)) * 1e9);
}

TEST_F(SimEngineTest, StampsComeFromTheFrameIndexAtTheDevicesOwnRate) {
  MicScript script = zeros(44100);
  script.ppm = 250;
  SimEngine engine(script);
  TapRecorder tap;
  engine.installTap(4096, tap.block());
  ASSERT_FALSE(engine.start());
  const auto got = tap.waitFor(120);
  engine.stop();
  const uint64_t t0 = got[0].when.hostTime;
  for (size_t k = 0; k < got.size(); ++k) {
    SCOPED_TRACE(k);
    ASSERT_TRUE(got[k].when.hostTimeValid);
    ASSERT_EQ(got[k].frames, 4096u);
    // Summing per-buffer steps would wander by up to half a tick per buffer.
    const int64_t expected = nanosOfFrames(static_cast<int64_t>(k) * 4096, 44100, 250);
    EXPECT_NEAR(static_cast<double>(got[k].when.hostTime - t0), static_cast<double>(expected), 1.0);
    // A buffer is delivered only once its last frame has been captured.
    EXPECT_GE(got[k].deliveredAt, got[k].when.hostTime + static_cast<uint64_t>(nanosOfFrames(4096, 44100, 250)));
  }
}

TEST_F(SimEngineTest, JitterIsBoundedAndFollowsTheSeed) {
  auto offsets = [](uint64_t seed) {
    MicScript script = zeros();
    script.jitterMs = 2;
    script.seed = seed;
    SimEngine engine(script);
    TapRecorder tap;
    engine.installTap(4096, tap.block());
    EXPECT_FALSE(engine.start());
    const auto got = tap.waitFor(40);
    engine.stop();
    // The first stamp carries jitter too, so compare against the midpoint of the run.
    std::vector<int64_t> deltas;
    for (size_t k = 1; k < 40; ++k) {
      deltas.push_back(static_cast<int64_t>(got[k].when.hostTime - got[0].when.hostTime) -
                       nanosOfFrames(static_cast<int64_t>(k) * 4096, 48000, 0));
    }
    return deltas;
  };
  const auto a = offsets(7);
  EXPECT_EQ(a, offsets(7));
  EXPECT_NE(a, offsets(8));
  bool anyOff = false;
  for (int64_t d : a) {
    EXPECT_LE(std::abs(d), 4'000'000);  // two stamps, each within ±2 ms
    anyOff = anyOff || d != 0;
  }
  EXPECT_TRUE(anyOff);
}

TEST(SimClockTest, VirtualTimeRunsAtTheGivenSpeedAndCanBeRemoved) {
  SimClock::install(50);
  const uint64_t real0 = HostClock::monotonicNow();
  const uint64_t host0 = HostClock::now();
  std::this_thread::sleep_for(20ms);
  const double real = static_cast<double>(HostClock::monotonicNow() - real0);
  const double host = static_cast<double>(HostClock::now() - host0);
  EXPECT_NEAR(host / real, 50, 0.5);
  SimClock::uninstall();
  const uint64_t mono = HostClock::monotonicNow();
  EXPECT_NEAR(static_cast<double>(HostClock::now()), static_cast<double>(mono), 1e8);
}

TEST_F(SimEngineTest, FasterThanRealTimeDeliversMinutesInSeconds) {
  SimEngine engine(zeros());
  TapRecorder tap;
  engine.installTap(4096, tap.block());
  const auto realStart = std::chrono::steady_clock::now();
  ASSERT_FALSE(engine.start());
  const auto got = tap.waitFor(704);  // 60 s of audio at 48 kHz
  engine.stop();
  // 0.3 s expected at speed 200; the bound only guards against real-time pacing.
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, 20s);
  EXPECT_GE(HostClock::secondsForHostTime(got.back().deliveredAt - got.front().when.hostTime), 60.0);
}

TEST_F(SimEngineTest, StartFailsTheScriptedNumberOfTimesThenRuns) {
  MicScript script = zeros();
  script.startFailures = 2;
  script.startErrorMessage = "device busy";
  SimEngine engine(script);
  for (int i = 0; i < 2; ++i) {
    engine.prepare();
    const Status error = engine.start();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "device busy");
    EXPECT_FALSE(engine.isRunning());
  }
  engine.prepare();
  EXPECT_FALSE(engine.start());
  EXPECT_TRUE(engine.isRunning());
  engine.stop();
  EXPECT_FALSE(engine.isRunning());
  EXPECT_EQ(engine.calls(), (std::vector<std::string>{"prepare", "start failed", "prepare", "start failed",
                                                       "prepare", "start", "stop"}));
}

TEST_F(SimEngineTest, StopReturnsOnlyAfterTheTapCallInProgress) {
  SimClock::install(1);
  SimEngine engine(zeros());
  std::atomic<bool> inside{false};
  std::atomic<int> calls{0};
  engine.installTap(4096, [&](const PcmBuffer&, const AudioTime&) {
    inside = true;
    std::this_thread::sleep_for(50ms);
    ++calls;
    inside = false;
  });
  ASSERT_FALSE(engine.start());
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!inside && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(100us);
  ASSERT_TRUE(inside);
  engine.stop();
  EXPECT_FALSE(inside);
  const int after = calls;
  std::this_thread::sleep_for(200ms);  // more than two buffers' worth
  EXPECT_EQ(calls, after);
  engine.removeTap();
}

TEST_F(SimEngineTest, ConfigurationChangeStopsAndComesBackInTheNewFormat) {
  MicScript script = zeros();
  const AudioFormat newFormat{44100, 2, SampleType::int16, true};
  script.configChanges.push_back({0.5, true, newFormat, 1});
  SimEngine engine(script);
  std::atomic<int> changes{0};
  engine.setConfigurationChangeHandler([&] { ++changes; });
  TapRecorder tap;
  engine.installTap(4096, tap.block());
  ASSERT_FALSE(engine.start());
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (changes == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(changes, 1);
  EXPECT_FALSE(engine.isRunning());
  EXPECT_EQ(engine.inputFormat(), newFormat);
  const size_t before = tap.count();
  EXPECT_LE(before, 6u);  // 0.5 s of 85 ms buffers
  for (const Delivery& d : tap.waitFor(before)) EXPECT_EQ(d.format, script.format);

  const uint64_t restartedAt = HostClock::now();
  ASSERT_TRUE(engine.start());  // the scripted failure after the change
  ASSERT_FALSE(engine.start());
  const auto got = tap.waitFor(before + 3);
  engine.stop();
  for (size_t k = before; k < got.size(); ++k) {
    EXPECT_EQ(got[k].format, newFormat);
    EXPECT_GE(got[k].when.hostTime, restartedAt);
    EXPECT_NEAR(static_cast<double>(got[k].when.hostTime - got[before].when.hostTime),
                static_cast<double>(nanosOfFrames(static_cast<int64_t>(k - before) * 4096, 44100, 0)), 1.0);
  }
  EXPECT_EQ(changes, 1);
}

TEST_F(SimEngineTest, FormatChangeWithoutStopContinuesTheTimeLine) {
  MicScript script = zeros();
  script.configChanges.push_back({0.3, false, AudioFormat::standard(16000, 1), 0});
  SimEngine engine(script);
  TapRecorder tap;
  engine.installTap(4096, tap.block());
  ASSERT_FALSE(engine.start());
  const auto got = tap.waitFor(12);
  engine.stop();
  size_t firstNew = 0;
  while (firstNew < got.size() && got[firstNew].format.sampleRate == 48000) ++firstNew;
  ASSERT_GT(firstNew, 0u);
  ASSERT_LT(firstNew + 1, got.size());
  // The new run starts at the frame the old one had reached.
  EXPECT_NEAR(static_cast<double>(got[firstNew].when.hostTime - got[0].when.hostTime),
              static_cast<double>(nanosOfFrames(static_cast<int64_t>(firstNew) * 4096, 48000, 0)), 2.0);
  EXPECT_NEAR(static_cast<double>(got[firstNew + 1].when.hostTime - got[firstNew].when.hostTime),
              static_cast<double>(nanosOfFrames(4096, 16000, 0)), 1.0);
}

TEST_F(SimEngineTest, SineIsWrittenInTheDevicesSampleTypeOnEveryChannel) {
  MicScript script;
  script.format = AudioFormat{48000, 2, SampleType::int16, true};
  script.signal = {SignalKind::sine, 1000, 0.5, 0, 0};
  script.bufferFrames = 1024;
  SimEngine engine(script);
  TapRecorder tap;
  engine.installTap(4096, tap.block());  // a larger request leaves the device's own size
  ASSERT_FALSE(engine.start());
  const auto got = tap.waitFor(3);
  engine.stop();
  for (size_t k = 0; k < 3; ++k) {
    ASSERT_EQ(got[k].frames, 1024u);
    for (uint32_t i = 0; i < 1024; ++i) {
      const double n = static_cast<double>(k * 1024 + i);
      const auto expected = static_cast<int16_t>(std::lround(0.5 * std::sin(2 * std::numbers::pi * 1000 * n / 48000) * 32767));
      int16_t left, right;
      std::memcpy(&left, &got[k].firstPlane[i * 4], 2);
      std::memcpy(&right, &got[k].firstPlane[i * 4 + 2], 2);
      ASSERT_NEAR(left, expected, 1) << "frame " << n;
      ASSERT_EQ(left, right);
    }
  }
}

TEST_F(SimEngineTest, ClicksFallOnMultiplesOfTheirPeriodInHostTime) {
  MicScript script = zeros();
  script.signal = {SignalKind::clicks, 0, 0.8, 100, 0.5};
  SimEngine engine(script);
  TapRecorder tap;
  engine.installTap(4096, tap.block());
  ASSERT_FALSE(engine.start());
  const auto got = tap.waitFor(30);  // 2.5 s
  engine.stop();
  std::vector<double> onsets;
  bool previous = false;
  for (const Delivery& d : got) {
    for (uint32_t i = 0; i < d.frames; ++i) {
      float v;
      std::memcpy(&v, &d.firstPlane[i * 4], 4);
      if (v != 0 && !previous) onsets.push_back(HostClock::secondsForHostTime(d.when.hostTime) + i / 48000.0);
      EXPECT_TRUE(v == 0 || v == 0.8f);
      previous = v != 0;
    }
  }
  ASSERT_GE(onsets.size(), 20u);
  for (size_t i = 0; i < onsets.size(); ++i) {
    const double phase = std::fmod(onsets[i], 0.1);
    EXPECT_LT(std::min(phase, 0.1 - phase), 1.5 / 48000) << onsets[i];
    if (i > 0) {
      EXPECT_NEAR(onsets[i] - onsets[i - 1], 0.1, 1.5 / 48000);
    }
  }
}

TEST_F(SimEngineTest, SignalNoneRunsButDeliversNothing) {
  MicScript script;  // signal none
  script.voiceProcessingError = "no echo canceller";
  SimEngine engine(script);
  TapRecorder tap;
  engine.installTap(4096, tap.block());
  const Status refusal = engine.setVoiceProcessingEnabled(true);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->description, "no echo canceller");
  ASSERT_FALSE(engine.start());
  std::this_thread::sleep_for(50ms);  // 10 s of host time
  EXPECT_TRUE(engine.isRunning());
  EXPECT_EQ(tap.count(), 0u);
  engine.stop();
}

}  // namespace
}  // namespace orvane::sim
