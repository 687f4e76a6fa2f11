// Engine restarts after configuration changes. "Now" is a test clock, so
// windows of minutes take no time; the back-off itself is a main-loop timer
// and takes its real 3 s.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sstream>
#include <thread>

#include "events/output.h"
#include "platform/runtime/host_clock.h"
#include "recorder/recorder.h"
#include "support/sim_backend.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

std::atomic<uint64_t> testNow{0};
uint64_t readTestNow() { return testNow.load(); }

const std::string kDiag(kDiagPrefix);
const std::string kChange = kDiag + "engine configuration change (running=true); restarting";
const std::string kRestarted = kDiag + "engine restarted, running=true";
const std::string kBackOff = kDiag + "config change: 4 restarts in window; backing off 3.0s";
const std::string kFailed = kDiag + "engine restart failed: ";
const std::string kChangeStopped = kDiag + "engine configuration change (running=false); restarting";

class ConfigRestartTest : public testing::Test {
 protected:
  explicit ConfigRestartTest(sim::Scenario scenario = {}) : backend{std::move(scenario)} {}
  void SetUp() override {
    HostClock::setSourceForTesting(&readTestNow);
    (void)engine.start();  // a device that fails its restarts failed this one too
    recorder.engineStarted = true;
    loopThread = std::thread([this] { loop.run(); });
    testing::internal::CaptureStderr();
  }
  void TearDown() override {
    if (!stderrTaken) testing::internal::GetCapturedStderr();
    loop.quit();
    loopThread.join();
    HostClock::setSourceForTesting(nullptr);
  }
  // A change notification at test time `seconds`, as the engine posts it; returns once it was handled: the
  // loop hands a restart to the engine queue, which hands the watchdog back to the loop.
  void changeAt(double seconds) {
    testNow = HostClock::hostTimeForSeconds(seconds);
    recorder.handleEngineConfigurationChange();
    for (int round = 0; round < 2; ++round) {
      std::promise<void> done;
      loop.post([&] { done.set_value(); });
      done.get_future().get();
      recorder.engineQueue.drain();
    }
  }
  // The watchdog's generation, read on the loop thread that arms it.
  int64_t watchdogGeneration() {
    std::promise<int64_t> read;
    loop.post([&] { read.set_value(recorder.micWatchdog.generation()); });
    return read.get_future().get();
  }
  // The restart diagnostics written so far (the watchdog's are left out).
  std::vector<std::string> restartLines() {
    stderrTaken = true;
    std::vector<std::string> lines;
    std::istringstream in(testing::internal::GetCapturedStderr());
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with(kFailed)) line = kFailed;
      if (line.starts_with(kDiag + "engine") || line.starts_with(kDiag + "config change")) lines.push_back(line);
    }
    return lines;
  }

  sim::SimBackend backend;
  MainLoop loop;
  Recorder recorder{"/tmp/orvane-restart.m4a", Recorder::Mode::micOnly, false, false, backend, loop};
  sim::SimEngine& engine = dynamic_cast<sim::SimEngine&>(*recorder.engine);
  std::thread loopThread;
  bool stderrTaken = false;
};

// A headset that switches profile changes the device every second or two:
// restarts that work are never held back (a back-off there lost seconds of
// audio while the device was there to record), and none runs before the start
// or once the run is finished.
TEST_F(ConfigRestartTest, RestartsThatSucceedAreNeverHeldBackAndNoneRunsBeforeTheStartOrOnceFinished) {
  for (int i = 0; i < 12; ++i) changeAt(100.0 + 0.5 * i);
  EXPECT_EQ(engine.successfulStarts(), 1 + 12);
  EXPECT_EQ(watchdogGeneration(), 12) << "every restart re-arms the watchdog";
  EXPECT_TRUE(recorder.restarts.recentRestarts().empty());

  recorder.engineStarted = false;
  changeAt(300.0);
  recorder.engineStarted = true;
  recorder.finished = true;
  changeAt(301.0);
  EXPECT_EQ(engine.successfulStarts(), 1 + 12);
  EXPECT_EQ(watchdogGeneration(), 12);
  std::vector<std::string> expected;
  for (int i = 0; i < 12; ++i) expected.insert(expected.end(), {kChange, kRestarted});
  EXPECT_EQ(restartLines(), expected);
}

sim::Scenario failingMicrophone() {
  sim::Scenario scenario;
  scenario.mic.startFailures = 1000;
  return scenario;
}

class FailingDeviceRestartTest : public ConfigRestartTest {
 protected:
  FailingDeviceRestartTest() : ConfigRestartTest(failingMicrophone()) {}
};

// A window that never let old failures go would stop trying for good after
// four; one that did not hold them would restart a failing device without end.
TEST_F(FailingDeviceRestartTest, FourFailedRestartsInAnyTenSecondsThenOneAfterTheBackOff) {
  for (int i = 0; i < 8; ++i) changeAt(100.0 + 11.0 * i);  // never four in 10 s
  for (double at : {178.0, 179.0, 180.0, 187.0}) changeAt(at);  // the one at 177 has left by 187
  EXPECT_EQ(watchdogGeneration(), 12) << "a failed restart re-arms the watchdog too";
  changeAt(187.5);  // 178, 179, 180 and 187 are in the window: the back-off
  const auto backOffBegan = std::chrono::steady_clock::now();
  changeAt(187.9);  // during the back-off: nothing
  EXPECT_EQ(watchdogGeneration(), 12);
  while (watchdogGeneration() < 13 && std::chrono::steady_clock::now() < backOffBegan + std::chrono::seconds(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(watchdogGeneration(), 13);
  EXPECT_GE(std::chrono::steady_clock::now() - backOffBegan, std::chrono::milliseconds(2900))
      << "the delayed restart comes 3 s after the back-off began";
  changeAt(188.0);  // the loop has run the delayed restart
  EXPECT_FALSE(recorder.restarts.backoffPending());
  EXPECT_EQ(recorder.restarts.recentRestarts(), (std::vector<double>{187.9, 188.0})) << "the window was emptied";
  EXPECT_EQ(engine.successfulStarts(), 0);
  std::vector<std::string> expected;
  for (int i = 0; i < 12; ++i) expected.insert(expected.end(), {kChangeStopped, kFailed});
  expected.insert(expected.end(), {kBackOff, kChangeStopped, kFailed, kChangeStopped, kFailed});
  EXPECT_EQ(restartLines(), expected);
}

// Regression: a stop that came while the engine was starting found it not yet
// started; the engine then ran on, recording the microphone, until the exit.
TEST(EngineStart, AStopDuringTheEnginesStartStopsTheEngineOnceItHasStarted) {
  sim::Scenario scenario;
  scenario.mic.startSeconds = 0.5;
  sim::SimBackend backend{scenario};
  MainLoop loop;
  ScratchDir dir;
  Recorder recorder{dir / "rec.wav", Recorder::Mode::micOnly, false, true, backend, loop};
  std::thread starting([&] { recorder.start(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // What stop() does before it hands the rest to its completion, which would end this process.
  recorder.stopRequested = true;
  recorder.finished = true;
  recorder.engineQueue.async([&] { recorder.stopInputs(); });
  starting.join();
  recorder.engineQueue.drain();
  EXPECT_EQ(dynamic_cast<sim::SimEngine&>(*recorder.engine).successfulStarts(), 1);
  EXPECT_FALSE(recorder.engine->isRunning());
}

}  // namespace
}  // namespace orvane
