// Input restarts after configuration changes, of recordings started on the
// scripted inputs. For the microphone's window "now" is a test clock, so
// windows of minutes take no time; the back-off itself is a main-loop timer and
// takes its real 3 s. The retries of a restart that kept the device before run
// on the real clock.
#include <future>
#include <map>
#include <mutex>
#include <sstream>
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

// The recorder's own start, on the scripted inputs; returns once the control thread is done with it.
void startAndSettle(Recorder& recorder) {
  recorder.start();
  ASSERT_TRUE(waitFor([&] { return recorder.state() == Recorder::State::recording && !recorder.controlBusy(); }, 10))
      << "the start never ended";
}

class ConfigRestartTest : public testing::Test {
 protected:
  void SetUp() override {
    HostClock::setSourceForTesting(&readTestNow);
    loopThread = std::thread([this] { loop.run(); });
  }
  void TearDown() override {
    loop.quit();
    loopThread.join();
    HostClock::setSourceForTesting(nullptr);
  }
  void startRecording() {
    startAndSettle(recorder);
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
    std::vector<std::string> lines;
    std::istringstream in(diagnostics.take());
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
  CapturedStderr diagnostics;
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
  waitFor([&] { return watchdogGeneration() >= 13; }, 20);
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

// A switch whose new device cannot be opened yet leaves each input recording
// on the device before, and the server says nothing more of it: on the real
// clock, the recorder asks again until the new one opens, and says so once.
class KeptDeviceTest : public testing::Test {
 protected:
  using Clock = std::chrono::steady_clock;
  // What the scripted server does with one input's starts.
  struct Input {
    std::string device;  // where it records
    int refusalsLeft = 0;  // starts that cannot open the default
    std::vector<Clock::time_point> refused;
  };

  void SetUp() override {
    loopThread = std::thread([this] { loop.run(); });
    startAndSettle(recorder);
  }
  void TearDown() override {
    loop.quit();
    loopThread.join();
  }
  Input input(const std::string& name) {
    std::lock_guard hold(lock);
    return inputs[name];
  }
  // The default device becomes "headset", which each input cannot open `refusals` times.
  void switchDefault(int refusals) {
    {
      std::lock_guard hold(lock);
      defaultDevice = "headset";
      for (auto& [name, input] : inputs) input.refusalsLeft = refusals;
    }
    recorder.handleEngineConfigurationChange();
    recorder.handleSystemAudioChange();
  }
  // Waits (at most 10 s) until `done` holds of both inputs and the restarts have said all they say.
  bool waitForBoth(const std::function<bool(const Input&)>& done) {
    return waitFor([&] { return done(input("mic")) && done(input("system")) && !recorder.controlBusy(); }, 10);
  }
  // Each input's restart diagnostics so far, "mic" or "system".
  std::map<std::string, std::vector<std::string>> restartLines() {
    std::map<std::string, std::vector<std::string>> lines;
    std::istringstream in(diagnostics.take());
    for (std::string line; std::getline(in, line);) {
      if (!line.starts_with(kDiag)) continue;
      line.erase(0, kDiag.size());
      if (line.starts_with("engine") || line.starts_with("microphone")) lines["mic"].push_back(line);
      if (line.starts_with("system audio")) lines["system"].push_back(line);
      if (line.starts_with("config change")) lines["policy"].push_back(line);
    }
    return lines;
  }

  ScratchDir dir;
  std::mutex lock;
  std::string defaultDevice = "speakers";
  std::map<std::string, Input> inputs;
  sim::WatchedBackend backend{{}, [this](const std::string& event) -> Status {
                                std::lock_guard hold(lock);
                                Input& input = inputs[event.substr(0, event.find(' '))];
                                if (event.ends_with(" starts") && input.refusalsLeft > 0) {
                                  --input.refusalsLeft;
                                  input.refused.push_back(Clock::now());
                                  return Error{sim::kOldDeviceRecords, 1, "cannot open " + defaultDevice};
                                }
                                if (event.ends_with(" started")) input.device = defaultDevice;
                                return std::nullopt;
                              }};
  MainLoop loop;
  Recorder recorder{dir / "rec.wav", Recorder::Mode::both, false, true, backend, loop};
  std::thread loopThread;
  CapturedStderr diagnostics;
};

const std::vector<std::string> kMicKept{"engine configuration change (running=true); restarting",
                                        "engine restart failed: cannot open headset",
                                        "microphone records on from the device before; trying again until the new "
                                        "one opens"};
const std::vector<std::string> kSystemKept{
    "system audio could not be opened again: cannot open headset",
    "system audio records on from the device before; trying again until the new one opens"};

// A new device that cannot be opened yet is asked for again after 1 s, 2, 4
// ... (never enough to fill the restart window), the recording going on on
// the device before and the retries that fail alike saying nothing, until it
// opens. Regression: a restart that failed so was never tried again, and the
// recording stayed on the device before to its end.
TEST_F(KeptDeviceTest, ARestartThatKeptTheDeviceBeforeIsTriedAgainLessAndLessOftenUntilTheNewOneOpens) {
  switchDefault(3);
  ASSERT_TRUE(waitForBoth([](const Input& input) { return input.refused.size() >= 3; }))
      << "the change and two retries";
  for (const char* name : {"mic", "system"}) EXPECT_EQ(input(name).device, "speakers") << name;
  EXPECT_TRUE(recorder.engine->isRunning() && recorder.stream->isRunning());
  ASSERT_TRUE(waitForBoth([](const Input& input) { return input.device == "headset"; }))
      << "an input records on the device before";
  for (const char* name : {"mic", "system"}) {
    SCOPED_TRACE(name);
    const Input kept = input(name);
    ASSERT_EQ(kept.refused.size(), 3u);
    for (const size_t retry : {1, 2}) {
      const double after = std::chrono::duration<double>(kept.refused[retry] - kept.refused[retry - 1]).count();
      EXPECT_GE(after, 0.5 * (1 << retry) - 0.05) << "retry " << retry << " comes 1 s, 2 s after the one before";
    }
  }
  EXPECT_EQ(recorder.state(), Recorder::State::recording);
  std::vector<std::string> mic = kMicKept;
  mic.push_back("engine restarted, running=true");
  EXPECT_EQ(restartLines(), (std::map<std::string, std::vector<std::string>>{{"mic", mic}, {"system", kSystemKept}}));
}

}  // namespace
}  // namespace orvane
