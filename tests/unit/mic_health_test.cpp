// The microphone LEVEL meter, and the silence watchdog run on a real main loop.
// Watchdog checks need real seconds, so each watchdog case runs in a child
// process of its own, side by side, with its own standard output and error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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
const std::string kDiag(kDiagPrefix);

std::vector<std::string> linesOf(const std::string& text, const std::string& prefix = "") {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  }
  return lines;
}

// 48 kHz mono: a 1 kHz sine of amplitude 0.5, or zeros.
std::unique_ptr<PcmBuffer> monoBuffer(bool sine) {
  auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 1), kBufferFrames);
  for (uint32_t i = 0; i < kBufferFrames; ++i) buffer->floatChannelData(0)[i] = sine ? 0.5f * std::sin(2 * M_PI * i / 48.0) : 0;
  buffer->setFrameLength(kBufferFrames);
  return buffer;
}

struct RecorderRig {
  sim::SimBackend backend{sim::Scenario{}};
  MainLoop loop;
  Recorder recorder{"/tmp/orvane-mic-health.m4a", Recorder::Mode::micOnly, false, false, backend, loop};
};

TEST(LevelMeter, FirstChannelOnlyFullScaleAndSilenceAndEmptyBuffers) {
  RecorderRig rig;
  auto meter = [&](const PcmBuffer& buffer, double hostSeconds) {
    testing::internal::CaptureStdout();
    rig.recorder.emitMicLevelIfDue(buffer, hostSeconds);
    return testing::internal::GetCapturedStdout();
  };
  EXPECT_EQ(meter(*monoBuffer(false), 1.0), "LEVEL 0.000\n");
  EXPECT_EQ(rig.recorder.micNonSilentFrames, 0);
  // Planar: a full-scale square on the first channel, silence on the second.
  auto planar = PcmBuffer::create(AudioFormat::standard(48000, 2), 960);
  planar->setFrameLength(960);
  for (uint32_t i = 0; i < 960; ++i) {
    planar->floatChannelData(0)[i] = (i / 24) % 2 ? -1.0f : 1.0f;
    planar->floatChannelData(1)[i] = 0.0f;
  }
  EXPECT_EQ(meter(*planar, 2.0), "LEVEL 1.000\n");
  EXPECT_EQ(rig.recorder.micNonSilentFrames, 960);
  // Interleaved 16-bit: silence on the first channel, a full-scale square on the second.
  auto interleaved = PcmBuffer::create(AudioFormat{44100, 2, SampleType::int16, true}, 441);
  interleaved->setFrameLength(441);
  auto* samples = reinterpret_cast<int16_t*>(interleaved->plane(0));
  for (uint32_t i = 0; i < 441; ++i) {
    samples[2 * i] = 0;
    samples[2 * i + 1] = i % 2 ? -32768 : 32767;
  }
  EXPECT_EQ(meter(*interleaved, 3.0), "LEVEL 0.000\n");
  EXPECT_EQ(rig.recorder.micNonSilentFrames, 960) << "a silent first channel is no signal";
  // An empty buffer is not metered and does not delay the next.
  auto empty = monoBuffer(true);
  empty->setFrameLength(0);
  EXPECT_EQ(meter(*empty, 4.0), "");
  EXPECT_EQ(meter(*monoBuffer(false), 4.01), "LEVEL 0.000\n");
}

TEST(LevelMeter, BuffersEvery85MillisecondsGiveALineOnEverySecondBuffer) {
  RecorderRig rig;
  auto buffer = monoBuffer(true);
  testing::internal::CaptureStdout();
  for (int i = 0; i < 24; ++i) rig.recorder.emitMicLevelIfDue(*buffer, 500.0 + i * 0.085);
  EXPECT_EQ(linesOf(testing::internal::GetCapturedStdout()), std::vector<std::string>(12, "LEVEL 0.354"));
  // Only the metered buffers feed the signal count.
  EXPECT_EQ(rig.recorder.micNonSilentFrames, 12 * int64_t{kBufferFrames});
}

// A recorder whose main loop runs on a thread of its own, fed a buffer every
// 85 ms through the real capture entry point. Its threads run until the child
// process ends, so a rig is made with new and never deleted.
struct WatchdogRig : RecorderRig {
  enum class Feed { none, zeros, sine };

  explicit WatchdogRig(Feed initial) : feed(initial) {
    recorder.micFile = std::make_shared<sim::MemoryAudioFile>();
    std::thread([this] { loop.run(); }).detach();
    std::thread([this] {
      auto zeros = monoBuffer(false), sine = monoBuffer(true);
      for (auto next = std::chrono::steady_clock::now();; std::this_thread::sleep_until(next)) {
        next += std::chrono::milliseconds(85);
        if (feed != Feed::none) recorder.writeMicAudio(feed == Feed::sine ? *sine : *zeros, {HostClock::now(), true});
      }
    }).detach();
    armedAt = std::chrono::steady_clock::now();
    onLoop([this] { recorder.armMicWatchdog(); });  // as the engine start does
  }

  // Runs `work` on the loop thread and returns its answer.
  bool onLoop(const std::function<void()>& work, const std::function<bool()>& answer = [] { return true; }) {
    std::promise<bool> done;
    loop.post([&] {
      work();
      done.set_value(answer());
    });
    return done.get_future().get();
  }

  // Waits until the warning flag reads `warned` (the child fails after 30 s); returns the seconds since arming.
  double waitForWarned(bool warned) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (onLoop([] {}, [&] { return recorder.micSilenceWarned; }) != warned) {
      if (std::chrono::steady_clock::now() > deadline) std::_Exit(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - armedAt).count();
  }

  std::atomic<Feed> feed;
  std::chrono::steady_clock::time_point armedAt;
};

using Feed = WatchdogRig::Feed;

struct Child {
  pid_t pid;
  std::string base;

  // Runs `body` in a child whose standard output and error go to files; it exits 0 once `body` returns.
  Child(const std::string& name, const std::function<void()>& body)
      : base((std::filesystem::temp_directory_path() / ("orvane-watchdog-" + name + "-" + std::to_string(getpid())))
                 .string()) {
    std::fflush(stdout);
    std::fflush(stderr);
    pid = fork();
    if (pid != 0) return;
    dup2(open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    dup2(open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    body();
    std::fflush(stdout);
    std::_Exit(0);
  }

  // Waits for the child; its status must be 0. Returns its output and error.
  std::pair<std::string, std::string> collect() {
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed or timed out: " << status;
    std::string texts[2];
    for (int i = 0; i < 2; ++i) {
      const std::string path = base + (i ? ".err" : ".out");
      std::ifstream in(path);
      texts[i].assign(std::istreambuf_iterator<char>(in), {});
      std::filesystem::remove(path);
    }
    return {texts[0], texts[1]};
  }
};

void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Event lines, the LEVEL meter's left out.
std::vector<std::string> events(const std::string& out) {
  std::vector<std::string> lines = linesOf(out);
  std::erase_if(lines, [](const std::string& line) { return line.rfind("LEVEL ", 0) == 0; });
  return lines;
}

TEST(SilenceWatchdog, WarnsRecoversAndStaysQuietWhenItShould) {
  Child silenceThenSignal("silence", [] {
    auto& rig = *new WatchdogRig(Feed::zeros);
    std::fprintf(stderr, "warned after %.3f\n", rig.waitForWarned(true));
    rig.feed = Feed::sine;
    rig.waitForWarned(false);
  });
  Child noFrames("noframes", [] {
    auto& rig = *new WatchdogRig(Feed::none);
    std::fprintf(stderr, "warned after %.3f\n", rig.waitForWarned(true));
  });
  Child pausedWindow("paused", [] {
    auto& rig = *new WatchdogRig(Feed::zeros);
    rig.onLoop([&] { rig.recorder.pause(); });
    sleepSeconds(7.0);
    rig.onLoop([&] { rig.recorder.resume(); });
    rig.waitForWarned(true);
  });
  Child signalPresent("signal", [] {
    new WatchdogRig(Feed::sine);
    sleepSeconds(7.5);
  });
  Child finishedEarly("finished", [] {
    auto& rig = *new WatchdogRig(Feed::none);
    sleepSeconds(1.0);
    rig.onLoop([&] {
      std::lock_guard lock(rig.recorder.pauseLock);
      rig.recorder.finished = true;
    });
    sleepSeconds(6.0);
  });

  const auto warnedAfter = [](const std::string& err) {
    const auto lines = linesOf(err, "warned after ");
    return lines.empty() ? 0.0 : std::stod(lines[0].substr(13));
  };
  {
    SCOPED_TRACE("digital silence, then signal");
    const auto [out, err] = silenceThenSignal.collect();
    EXPECT_EQ(events(out), (std::vector<std::string>{"WARN mic_silent", "STATUS mic_recovered"}));
    EXPECT_EQ(linesOf(out).front(), "LEVEL 0.000");
    EXPECT_GE(warnedAfter(err), 4.9) << "the first check comes 5 s after arming";
    EXPECT_EQ(linesOf(err, kDiag + "mic produced"),
              std::vector<std::string>{kDiag + "mic produced only digital silence in the check window "
                                               "(device lost to a call app's voice processing?)"});
    const auto flowing = linesOf(err, kDiag + "mic signal flowing again");
    std::smatch count;
    ASSERT_EQ(flowing.size(), 1u) << err;
    ASSERT_TRUE(std::regex_match(flowing[0], count, std::regex(".*\\((\\d+) non-silent frames\\)"))) << flowing[0];
    // The count is that of the loud metered buffers seen by the check.
    const int64_t frames = std::stoll(count[1]);
    const auto levels = linesOf(out, "LEVEL ");
    const auto loudLines = std::count_if(levels.begin(), levels.end(), [](auto& line) { return line != "LEVEL 0.000"; });
    EXPECT_GT(frames, 0);
    EXPECT_EQ(frames % kBufferFrames, 0);
    EXPECT_LE(frames, loudLines * kBufferFrames);
  }
  {
    SCOPED_TRACE("no buffers at all");
    const auto [out, err] = noFrames.collect();
    EXPECT_EQ(linesOf(out), std::vector<std::string>{"WARN mic_silent"});
    EXPECT_GE(warnedAfter(err), 4.9);
    EXPECT_EQ(linesOf(err, kDiag + "mic produced"),
              std::vector<std::string>{kDiag + "mic produced no frames in the check window (Mic Mode / Voice Isolation?)"});
  }
  {
    SCOPED_TRACE("paused through the first window: no judgement while paused, the warning follows the resume");
    const auto [out, err] = pausedWindow.collect();
    EXPECT_EQ(events(out), (std::vector<std::string>{"STATUS paused", "STATUS resumed", "WARN mic_silent"}));
    EXPECT_EQ(linesOf(err, kDiag + "mic produced").size(), 1u) << err;
  }
  {
    SCOPED_TRACE("signal at the first check");
    const auto [out, err] = signalPresent.collect();
    EXPECT_EQ(events(out), std::vector<std::string>{});
    EXPECT_GT(linesOf(out).size(), 10u) << "the meter ran";
    EXPECT_EQ(linesOf(err, kDiag + "mic "), std::vector<std::string>{});
  }
  {
    SCOPED_TRACE("finished while a check was pending");
    const auto [out, err] = finishedEarly.collect();
    EXPECT_EQ(out + err, "");
  }
}

}  // namespace
}  // namespace orvane
