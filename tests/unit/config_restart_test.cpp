// Engine restarts after configuration changes, of a recording started on the
// scripted microphone. "Now" is a test clock, so windows of minutes take no
// time; the back-off itself is a main-loop timer and takes its real 3 s.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sstream>
#include <thread>
#include <type_traits>

#include "events/output.h"
#include "platform/runtime/host_clock.h"
#include "recorder/recorder.h"
#include "support/watched_backend.h"
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
  void SetUp() override {
    HostClock::setSourceForTesting(&readTestNow);
    loopThread = std::thread([this] { loop.run(); });
    testing::internal::CaptureStderr();
  }
  void TearDown() override {
    if (!stderrTaken) testing::internal::GetCapturedStderr();
    loop.quit();
    loopThread.join();
    HostClock::setSourceForTesting(nullptr);
  }
  // The recorder's own start, on the scripted microphone; returns once the control thread is done with it.
  void startRecording() {
    recorder.start();
    const auto began = std::chrono::steady_clock::now();
    while (recorder.state() != Recorder::State::recording || recorder.controlBusy()) {
      ASSERT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10)) << "the start never ended";
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    startGeneration = watchdogGeneration();
  }
  // Returns once `task` has run on the loop thread, and what it returned.
  template <class Task>
  auto onLoop(Task task) {
    std::promise<decltype(task())> result;
    loop.post([&] {
      if constexpr (std::is_void_v<decltype(task())>) {
        task();
        result.set_value();
      } else {
        result.set_value(task());
      }
    });
    return result.get_future().get();
  }
  // A change notification at test time `seconds`, as the engine posts it; returns once it was handled: the
  // loop hands a restart to the control thread, which hands the watchdog and the outcome back to the loop.
  void changeAt(double seconds) {
    testNow = HostClock::hostTimeForSeconds(seconds);
    recorder.handleEngineConfigurationChange();
    onLoop([] {});
    while (recorder.controlBusy()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    onLoop([] {});
  }
  // The watchdog's re-armings since the start, read on the loop thread that arms it.
  int64_t watchdogGeneration() { return onLoop([this] { return recorder.micWatchdog.generation(); }) - startGeneration; }
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

  ScratchDir dir;
  std::atomic<int> micStarts{0};
  std::atomic<bool> restartsFail{false};
  sim::WatchedBackend backend{{}, [this](const std::string& event) -> Status {
                                if (event == "mic started") ++micStarts;
                                if (event == "mic starts" && restartsFail) return Error{"sim", 1, "device gone"};
                                return std::nullopt;
                              }};
  MainLoop loop;
  Recorder recorder{dir / "rec.wav", Recorder::Mode::micOnly, false, true, backend, loop};
  std::thread loopThread;
  int64_t startGeneration = 0;
  bool stderrTaken = false;
};

// A headset that switches profile changes the device every second or two:
// restarts that work are never held back (a back-off there lost seconds of
// audio while the device was there to record), and none runs before the start.
TEST_F(ConfigRestartTest, RestartsThatSucceedAreNeverHeldBackAndNoneRunsBeforeTheStart) {
  changeAt(99.0);
  EXPECT_EQ(micStarts, 0);
  startRecording();
  for (int i = 0; i < 12; ++i) changeAt(100.0 + 0.5 * i);
  EXPECT_EQ(micStarts, 1 + 12);
  EXPECT_EQ(watchdogGeneration(), 12) << "every restart re-arms the watchdog";
  EXPECT_TRUE(onLoop([this] { return recorder.restarts.recentRestarts().empty(); }));
  EXPECT_EQ(recorder.state(), Recorder::State::recording);
  std::vector<std::string> expected;
  for (int i = 0; i < 12; ++i) expected.insert(expected.end(), {kChange, kRestarted});
  EXPECT_EQ(restartLines(), expected);
}

// A window that never let old failures go would stop trying for good after
// four; one that did not hold them would restart a failing device without end.
TEST_F(ConfigRestartTest, FourFailedRestartsInAnyTenSecondsThenOneAfterTheBackOff) {
  startRecording();
  restartsFail = true;
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
  EXPECT_FALSE(onLoop([this] { return recorder.restarts.backoffPending(); }));
  EXPECT_EQ(onLoop([this] { return recorder.restarts.recentRestarts(); }), (std::vector<double>{187.9, 188.0}))
      << "the window was emptied";
  EXPECT_EQ(micStarts, 1) << "the start's alone";
  std::vector<std::string> expected{kChange, kFailed};
  for (int i = 1; i < 12; ++i) expected.insert(expected.end(), {kChangeStopped, kFailed});
  expected.insert(expected.end(), {kBackOff, kChangeStopped, kFailed, kChangeStopped, kFailed});
  EXPECT_EQ(restartLines(), expected);
}

}  // namespace
}  // namespace orvane
