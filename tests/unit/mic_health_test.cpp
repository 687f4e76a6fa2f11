// The microphone LEVEL meter, and the silence watchdog run on a real main loop.
// Watchdog checks need real seconds, so each watchdog case runs in a child
// process of its own, side by side, with its own standard output and error.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "cli/output.h"
#include "platform/host_clock.h"
#include "recorder/recorder.h"
#include "support/memory_audio_file.h"
#include "support/sim_backend.h"

namespace orvane {
namespace {

constexpr uint32_t kBufferFrames = 4096;  // 85.3 ms at 48 kHz, as a device delivers
constexpr auto kBufferPeriod = std::chrono::milliseconds(85);

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  for (const auto& line : splitLines(text)) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  }
  return found;
}

// ------------------------------------------------------------ level meter

class LevelMeterTest : public testing::Test {
 protected:
  sim::SimBackend backend{sim::Scenario{}};
  MainLoop loop;
  Recorder recorder{"/tmp/orvane-level.m4a", Recorder::Mode::micOnly, false, false, backend, loop};

  std::string meter(const PcmBuffer& buffer, double hostSeconds) {
    testing::internal::CaptureStdout();
    recorder.emitMicLevelIfDue(buffer, hostSeconds);
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(LevelMeterTest, ZerosReadZeroAndCountNoSignal) {
  auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 1), kBufferFrames);
  buffer->setFrameLength(kBufferFrames);
  buffer->clear(kBufferFrames);
  EXPECT_EQ(meter(*buffer, 10.0), "LEVEL 0.000\n");
  EXPECT_EQ(recorder.micNonSilentFrames, 0);
}

TEST_F(LevelMeterTest, FullScaleSquareOnTheFirstChannelReadsOneWhateverTheSecondHolds) {
  // Non-interleaved: the second channel's plane is loud and must be ignored.
  auto planar = PcmBuffer::create(AudioFormat::standard(48000, 2), 960);
  planar->setFrameLength(960);
  for (uint32_t i = 0; i < 960; ++i) {
    planar->floatChannelData(0)[i] = (i / 24) % 2 ? -1.0f : 1.0f;
    planar->floatChannelData(1)[i] = 0.0f;
  }
  EXPECT_EQ(meter(*planar, 1.0), "LEVEL 1.000\n");
  EXPECT_EQ(recorder.micNonSilentFrames, 960);

  // Interleaved 16-bit: silence on the first channel, a full-scale square on the second.
  auto interleaved = PcmBuffer::create(AudioFormat{44100, 2, SampleType::int16, true}, 441);
  interleaved->setFrameLength(441);
  auto* samples = reinterpret_cast<int16_t*>(interleaved->plane(0));
  for (uint32_t i = 0; i < 441; ++i) {
    samples[2 * i] = 0;
    samples[2 * i + 1] = i % 2 ? -32768 : 32767;
  }
  EXPECT_EQ(meter(*interleaved, 2.0), "LEVEL 0.000\n");
  EXPECT_EQ(recorder.micNonSilentFrames, 960) << "a silent first channel is no signal";
}

TEST_F(LevelMeterTest, BuffersEvery85MillisecondsGiveALineOnEverySecondBuffer) {
  auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 1), kBufferFrames);
  buffer->setFrameLength(kBufferFrames);
  for (uint32_t i = 0; i < kBufferFrames; ++i) {
    buffer->floatChannelData(0)[i] = 0.5f * std::sin(2 * M_PI * 1000.0 * i / 48000.0);
  }
  testing::internal::CaptureStdout();
  for (int i = 0; i < 24; ++i) {
    recorder.emitMicLevelIfDue(*buffer, 500.0 + i * 0.085);
  }
  const auto lines = splitLines(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 12u);
  for (const auto& line : lines) EXPECT_EQ(line, "LEVEL 0.354");
  // Only the metered buffers feed the signal count.
  EXPECT_EQ(recorder.micNonSilentFrames, 12 * static_cast<int64_t>(kBufferFrames));
  EXPECT_EQ(recorder.lastLevelEmitHostSeconds, 500.0 + 22 * 0.085);
}

TEST_F(LevelMeterTest, AnEmptyBufferIsNotMeteredAndDoesNotDelayTheNext) {
  auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 1), 64);
  EXPECT_EQ(meter(*buffer, 3.0), "");
  EXPECT_FALSE(recorder.lastLevelEmitHostSeconds.has_value());
  buffer->setFrameLength(64);
  buffer->clear(64);
  EXPECT_EQ(meter(*buffer, 3.01), "LEVEL 0.000\n");
}

// --------------------------------------------------------------- watchdog

enum class Feed { none, zeros, sine };

// A recorder whose main loop runs on a thread of its own, fed 4096-frame
// buffers every 85 ms through the real capture entry point. Its threads run
// until the child process ends, so a rig is made with new and never deleted.
class WatchdogRig {
 public:
  WatchdogRig() {
    recorder.micFile = std::make_shared<sim::MemoryAudioFile>();
    loopThread_ = std::thread([this] { loop.run(); });
    feeder_ = std::thread([this] { feed(); });
  }

  // Runs `work` on the loop thread and returns its answer.
  bool onLoop(std::function<bool()> work) {
    std::promise<bool> answer;
    auto result = answer.get_future();
    loop.post([&] { answer.set_value(work()); });
    return result.get();
  }

  // Arms as the engine start does, on the loop thread.
  void arm() {
    armedAt_ = std::chrono::steady_clock::now();
    onLoop([this] { recorder.armMicWatchdog(); return true; });
  }

  // Waits until the watchdog's warning flag reads `warned`; ends the child when it never does.
  void waitForWarned(bool warned, const char* what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (onLoop([&] { return recorder.micSilenceWarned; }) != warned) {
      if (std::chrono::steady_clock::now() > deadline) {
        std::fprintf(stderr, "FACT timeout %s\n", what);
        std::_Exit(1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  double secondsSinceArming() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - armedAt_).count();
  }

  sim::SimBackend backend{sim::Scenario{}};
  MainLoop loop;
  Recorder recorder{"/tmp/orvane-watchdog.m4a", Recorder::Mode::micOnly, false, false, backend, loop};
  std::atomic<Feed> signal{Feed::zeros};

 private:
  void feed() {
    auto zeros = PcmBuffer::create(AudioFormat::standard(48000, 1), kBufferFrames);
    auto sine = PcmBuffer::create(AudioFormat::standard(48000, 1), kBufferFrames);
    zeros->setFrameLength(kBufferFrames);
    zeros->clear(kBufferFrames);
    sine->setFrameLength(kBufferFrames);
    for (uint32_t i = 0; i < kBufferFrames; ++i) {
      sine->floatChannelData(0)[i] = 0.5f * std::sin(2 * M_PI * 1000.0 * i / 48000.0);
    }
    auto next = std::chrono::steady_clock::now();
    for (;;) {
      next += kBufferPeriod;
      std::this_thread::sleep_until(next);
      const Feed what = signal.load();
      if (what == Feed::none) continue;
      recorder.writeMicAudio(what == Feed::sine ? *sine : *zeros, AudioTime{HostClock::now(), true});
    }
  }

  std::chrono::steady_clock::time_point armedAt_;
  std::thread loopThread_;
  std::thread feeder_;
};

struct ChildResult {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<std::string> outLines() const { return splitLines(out); }
  // Lines without the LEVEL meter's.
  std::vector<std::string> events() const {
    std::vector<std::string> events;
    for (const auto& line : outLines()) {
      if (line.rfind("LEVEL ", 0) != 0) events.push_back(line);
    }
    return events;
  }
  std::optional<double> fact(const std::string& name) const {
    for (const auto& line : linesStartingWith(err, "FACT " + name + " ")) {
      return std::stod(line.substr(6 + name.size()));
    }
    return std::nullopt;
  }
};

class Child {
 public:
  // Runs `body` in a child whose standard output and error go to files of
  // their own; the child leaves with status 0 once `body` returns.
  Child(const std::string& name, std::function<void()> body) {
    const auto base = std::filesystem::temp_directory_path() /
                      ("orvane-watchdog-" + name + "-" + std::to_string(getpid()));
    outPath_ = base.string() + ".out";
    errPath_ = base.string() + ".err";
    std::fflush(stdout);
    std::fflush(stderr);
    pid_ = fork();
    if (pid_ != 0) return;
    const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) std::_Exit(3);
    body();
    std::fflush(stdout);
    std::_Exit(0);
  }

  ChildResult collect() {
    ChildResult result;
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    result.out = slurp(outPath_);
    result.err = slurp(errPath_);
    std::filesystem::remove(outPath_);
    std::filesystem::remove(errPath_);
    return result;
  }

 private:
  static std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  pid_t pid_ = -1;
  std::string outPath_;
  std::string errPath_;
};

void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

const std::string kDiag(kDiagPrefix);

TEST(SilenceWatchdogTest, WarnsRecoversAndStaysQuietWhenItShould) {
  // Digital silence from the start, then signal.
  Child silenceThenSignal("silence", [] {
    auto& rig = *new WatchdogRig;
    rig.arm();
    rig.waitForWarned(true, "warning");
    std::fprintf(stderr, "FACT warned_after %.3f\n", rig.secondsSinceArming());
    rig.signal = Feed::sine;
    rig.waitForWarned(false, "recovery");
  });
  // No buffers at all.
  Child noFrames("noframes", [] {
    auto& rig = *new WatchdogRig;
    rig.signal = Feed::none;
    rig.arm();
    rig.waitForWarned(true, "warning");
    std::fprintf(stderr, "FACT warned_after %.3f\n", rig.secondsSinceArming());
  });
  // Paused through the whole first window, silence after the resume.
  Child pausedWindow("paused", [] {
    auto& rig = *new WatchdogRig;
    rig.arm();
    rig.onLoop([&] { rig.recorder.pause(); return true; });
    sleepSeconds(7.0);
    rig.onLoop([&] { rig.recorder.resume(); return true; });
    rig.waitForWarned(true, "warning");
  });
  // Signal flowing when the first check comes.
  Child signalPresent("signal", [] {
    auto& rig = *new WatchdogRig;
    rig.signal = Feed::sine;
    rig.arm();
    sleepSeconds(7.5);
  });
  // The recording finishes while the first check is pending.
  Child stoppedEarly("stopped", [] {
    auto& rig = *new WatchdogRig;
    rig.signal = Feed::none;
    rig.arm();
    sleepSeconds(1.0);
    rig.onLoop([&] {
      std::lock_guard lock(rig.recorder.pauseLock);
      rig.recorder.finished = true;
      return true;
    });
    sleepSeconds(6.0);
  });

  {
    SCOPED_TRACE("digital silence, then signal");
    const ChildResult run = silenceThenSignal.collect();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.events(), (std::vector<std::string>{"WARN mic_silent", "STATUS mic_recovered"}));
    const auto lines = run.outLines();
    EXPECT_EQ(lines.front(), "LEVEL 0.000");
    EXPECT_GE(run.fact("warned_after").value_or(0), 4.9) << "the first check comes 5 s after arming";
    EXPECT_EQ(linesStartingWith(run.err, kDiag + "mic produced"),
              std::vector<std::string>{kDiag + "mic produced only digital silence in the check window "
                                               "(device lost to a call app's voice processing?)"});
    const auto flowing = linesStartingWith(run.err, kDiag + "mic signal flowing again");
    ASSERT_EQ(flowing.size(), 1u) << run.err;
    std::smatch count;
    ASSERT_TRUE(std::regex_match(flowing[0], count, std::regex(".*\\((\\d+) non-silent frames\\)"))) << flowing[0];
    // The count is that of the loud metered buffers (4096 frames each) seen by the check.
    const int64_t frames = std::stoll(count[1]);
    int64_t loudLines = 0;
    for (const auto& line : lines) loudLines += line.rfind("LEVEL ", 0) == 0 && line != "LEVEL 0.000";
    EXPECT_GT(frames, 0);
    EXPECT_EQ(frames % kBufferFrames, 0);
    EXPECT_LE(frames, loudLines * kBufferFrames);
  }
  {
    SCOPED_TRACE("no buffers at all");
    const ChildResult run = noFrames.collect();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.outLines(), std::vector<std::string>{"WARN mic_silent"});
    EXPECT_GE(run.fact("warned_after").value_or(0), 4.9);
    EXPECT_EQ(linesStartingWith(run.err, kDiag + "mic produced"),
              std::vector<std::string>{kDiag + "mic produced no frames in the check window "
                                               "(Mic Mode / Voice Isolation?)"});
  }
  {
    SCOPED_TRACE("paused through the first window");
    const ChildResult run = pausedWindow.collect();
    ASSERT_EQ(run.status, 0) << run.err;
    // No judgement while paused: the warning follows the resume.
    EXPECT_EQ(run.events(), (std::vector<std::string>{"STATUS paused", "STATUS resumed", "WARN mic_silent"}));
    EXPECT_EQ(linesStartingWith(run.err, kDiag + "mic produced").size(), 1u) << run.err;
  }
  {
    SCOPED_TRACE("signal at the first check");
    const ChildResult run = signalPresent.collect();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.events(), std::vector<std::string>{});
    EXPECT_GT(run.outLines().size(), 10u) << "the meter ran";
    EXPECT_EQ(linesStartingWith(run.err, kDiag + "mic "), std::vector<std::string>{});
  }
  {
    SCOPED_TRACE("finished while a check was pending");
    const ChildResult run = stoppedEarly.collect();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.outLines(), std::vector<std::string>{});
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
}  // namespace orvane
