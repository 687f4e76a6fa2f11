// The one stop of a run against its start, through the real entry on the
// scripted backend, in a child process that the run's end ends.
#include <fcntl.h>
#include <sys/ioctl.h>

#include "cli/entry.h"
#include "support/watched_backend.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

std::vector<std::string> linesOf(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The child: records `scenario` to `dir`/rec.wav through the real entry, with
// standard output in `dir`/events, each input's starts and stops in
// `dir`/inputs, and `hook` told of each, given the write end of standard input.
[[noreturn]] void record(const ScratchDir& dir, sim::Scenario scenario,
                         std::function<void(const std::string& event, int input)> hook) {
  const int events = ::open((dir / "events").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(events, STDOUT_FILENO);
  int input[2];
  if (::pipe(input) != 0) std::abort();
  ::dup2(input[0], STDIN_FILENO);  // the write end stays open: no end of input
  const int log = ::open((dir / "inputs").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  auto* backend = new sim::WatchedBackend(std::move(scenario), [=](const std::string& event) -> Status {
    const std::string line = event + "\n";
    if (::write(log, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::abort();
    hook(event, input[1]);
    return std::nullopt;
  });
  const std::string out = dir / "rec.wav";
  const char* argv[] = {"orvane-capture", "--out", out.c_str(), "--wav"};
  runMain(4, const_cast<char**>(argv), *backend);
  std::abort();
}

// "stop" comes on standard input as the microphone begins to start, and its
// start goes on once the main loop has read it; the system audio takes 0.2 s
// to stop, as a stream waits for its tail.
void stopWhileTheMicrophoneStarts(const std::string& event, int input) {
  if (event == "system stops") std::this_thread::sleep_for(std::chrono::milliseconds(200));
  if (event != "mic starts") return;
  if (::write(input, "stop\n", 5) != 5) std::abort();
  int unread = 5;
  while (::ioctl(STDIN_FILENO, FIONREAD, &unread) == 0 && unread > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the stop, once read, is under way
}

// Regression: the system audio was started after a stop that came while the
// start was under way, and a stream that then failed to start ended the run
// with its own line, racing the stop's; one that started recorded past the stop.
TEST(RecorderStopDeathTest, AStopWhileStartingStartsNoInputAfterItAndEndsTheRunWithItsOwnLine) {
  for (const bool streamFails : {false, true}) {
    SCOPED_TRACE(streamFails ? "a system audio that fails to start" : "a system audio that starts");
    ScratchDir dir;
    sim::Scenario scenario;
    scenario.system.signal = sim::SignalKind::zeros;
    if (streamFails) scenario.system.startError = "the stream cannot start";
    EXPECT_EXIT(record(dir, scenario, stopWhileTheMicrophoneStarts), testing::ExitedWithCode(2), "");
    EXPECT_EQ(linesOf(dir / "events"), (std::vector<std::string>{
                                           "STATUS starting",
                                           "ERROR stopped_early recording stopped before capture began"}));
    const std::vector<std::string> inputs = linesOf(dir / "inputs");
    EXPECT_EQ(std::count(inputs.begin(), inputs.end(), "system starts"), 0) << testing::PrintToString(inputs);
    const auto micStarted = std::find(inputs.begin(), inputs.end(), "mic started");
    EXPECT_NE(std::find(micStarted, inputs.end(), "mic stops"), inputs.end())
        << "the microphone that started after the stop is stopped: " << testing::PrintToString(inputs);
    EXPECT_FALSE(std::filesystem::exists(dir / "rec.mic.caf"));
  }
}

// A main loop that cannot wait for events any more (ppoll failed) aborted the
// process: no terminal line, and the recording lost.
TEST(RecorderStopDeathTest, AMainLoopThatCannotWaitForEventsStopsTheRun) {
  ScratchDir dir;
  sim::Scenario scenario;
#ifdef ORVANE_SANITIZED
  GTEST_SKIP() << "the sanitizers' runtimes need descriptors of their own to report, which this limit takes";
#endif
  // Fewer descriptors than the loop polls: its next ppoll fails.
  const auto starveTheLoop = [](const std::string& event, int) {
    if (event != "mic started") return;
    rlimit few{};
    getrlimit(RLIMIT_NOFILE, &few);
    few.rlim_cur = 2;
    setrlimit(RLIMIT_NOFILE, &few);
  };
  EXPECT_EXIT(record(dir, scenario, starveTheLoop), testing::ExitedWithCode(2),
              "the main loop cannot wait for events \\(ppoll: Invalid argument\\)");
  const std::vector<std::string> events = linesOf(dir / "events");
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "ERROR stopped_early recording stopped before capture began");
  const std::vector<std::string> inputs = linesOf(dir / "inputs");
  EXPECT_EQ(std::count(inputs.begin(), inputs.end(), "mic stops"), 1) << testing::PrintToString(inputs);
}

}  // namespace
}  // namespace orvane
