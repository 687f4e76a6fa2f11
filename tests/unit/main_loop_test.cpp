// MainLoop: posted work, one-shot and repeating timers with cancellation,
// readable descriptors with end of input, and signals.
#include "platform/runtime/main_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/runtime/host_clock.h"

namespace orvane {
namespace {

// A test that hangs is a failure too: every loop here quits on its own in time.
constexpr double kSafetyQuitSeconds = 20;
// Seconds as doubles round; a deadline met to the nanosecond must still pass.
constexpr double kClockSlack = 1e-6;

TEST(MainLoop, PostedTasksRunOnTheLoopInPostingOrderFromEveryThread) {
  constexpr int kThreads = 3;
  constexpr int kPerThread = 2000;
  MainLoop loop;
  std::vector<std::pair<int, int>> seen;  // loop thread only
  const std::thread::id loopThread = std::this_thread::get_id();
  bool allOnLoop = true;
  std::thread poster([&] {
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
      posters.emplace_back([&, t] {
        for (int i = 0; i < kPerThread; ++i) {
          loop.post([&, t, i] {
            allOnLoop = allOnLoop && std::this_thread::get_id() == loopThread;
            seen.emplace_back(t, i);
          });
        }
      });
    }
    for (auto& p : posters) p.join();
    loop.post([&] { loop.quit(); });  // posted after every other task
  });
  loop.postAfter(kSafetyQuitSeconds, [&] { loop.quit(); });
  loop.run();
  poster.join();
  EXPECT_TRUE(allOnLoop);
  ASSERT_EQ(seen.size(), size_t{kThreads * kPerThread});
  std::vector<int> next(kThreads, 0);
  for (auto [t, i] : seen) ASSERT_EQ(i, next[t]++) << "thread " << t;
}

// Timers may come late on a loaded machine but never early, which also rules
// out a repeating timer firing more often than its interval.
TEST(MainLoop, TimersFireNoEarlierThanDueInDeadlineOrderAndNeverOnceCancelled) {
  constexpr double kInterval = 0.02;
  MainLoop loop;
  std::vector<int> oneShots;
  std::vector<double> ticks;
  const double start = HostClock::nowSeconds();
  double lateAt = 0;
  loop.postAfter(0.12, [&] {
    oneShots.push_back(2);
    lateAt = HostClock::nowSeconds() - start;
  });
  loop.postAfter(0.04, [&] { oneShots.push_back(1); });
  loop.cancel(loop.postAfter(0.02, [&] { oneShots.push_back(99); }));
  MainLoop::TimerId id = 0;
  id = loop.addRepeating(kInterval, 0.005, [&] {
    ticks.push_back(HostClock::nowSeconds() - start);
    if (ticks.size() == 10) {
      loop.cancel(id);
      loop.postAfter(10 * kInterval, [&] { loop.quit(); });  // room for more ticks if cancel did not hold
    }
  });
  loop.postAfter(kSafetyQuitSeconds, [&] { loop.quit(); });
  loop.run();
  EXPECT_EQ(oneShots, (std::vector<int>{1, 2}));
  EXPECT_GE(lateAt, 0.12 - kClockSlack);
  ASSERT_EQ(ticks.size(), 10u);
  for (size_t k = 0; k < ticks.size(); ++k) EXPECT_GE(ticks[k], (k + 1) * kInterval - kClockSlack) << "tick " << k;
}

// kill() targets the whole process: tests here join their threads and queue
// workers block SIGTERM, and watchSignals blocks it in this thread (for the rest
// of the run) before the writer inherits the mask, so only the loop takes it.
TEST(MainLoop, ReadableDataEndOfInputAndATerminationSignalReachTheirHandlersOnTheLoop) {
  MainLoop loop;
  const std::thread::id loopThread = std::this_thread::get_id();
  bool onLoop = true;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string received;
  int eofDeliveries = 0, signal = 0;
  loop.watchReadable(fds[0], [&] {
    onLoop = onLoop && std::this_thread::get_id() == loopThread;
    char buf[64];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) {
      received.append(buf, static_cast<size_t>(n));
      if (received == "stop\n") close(fds[1]);  // end of input next
      return;
    }
    ++eofDeliveries;
    loop.unwatch(fds[0]);
    // The hang-up stays reported: without unwatch this handler would repeat.
    loop.postAfter(0.05, [] { kill(getpid(), SIGTERM); });
  });
  ASSERT_TRUE(loop.watchSignals({SIGTERM}, [&](int sig) {
    signal = sig;
    onLoop = onLoop && std::this_thread::get_id() == loopThread;
    loop.quit();
  }));
  std::thread writer([&] { ASSERT_EQ(write(fds[1], "stop\n", 5), 5); });
  loop.postAfter(kSafetyQuitSeconds, [&] { loop.quit(); });
  loop.run();
  writer.join();
  close(fds[0]);
  EXPECT_EQ(received, "stop\n");
  EXPECT_EQ(eofDeliveries, 1);
  EXPECT_EQ(signal, SIGTERM);
  EXPECT_TRUE(onLoop);
}

}  // namespace
}  // namespace orvane
