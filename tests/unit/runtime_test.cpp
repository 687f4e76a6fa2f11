// The threads everything runs on: SerialQueue (ordering, a full ring, drain,
// the worker's signal mask) and MainLoop (posted work, timers, readable
// descriptors, signals).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <semaphore>
#include <thread>
#include <vector>

#include "platform/runtime/host_clock.h"
#include "platform/runtime/main_loop.h"
#include "platform/runtime/serial_queue.h"

namespace orvane {
namespace {

// Producers racing on a small ring keep their own order, lose nothing, and
// drain returns only once everything submitted before it has run.
TEST(SerialQueue, ConcurrentProducersKeepTheirOrderAndDrainWaitsForWhatCameBefore) {
  constexpr int kProducers = 3, kPerProducer = 5000;
  std::vector<std::pair<int, int>> seen;  // the worker's only
  std::atomic<int> submitted[kProducers] = {}, done[kProducers] = {};
  SerialQueue queue("test.producers", 32);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 1; i <= kPerProducer; ++i) {
        queue.async([&, p, i] { seen.emplace_back(p, i); done[p].store(i); });
        submitted[p].store(i);
      }
    });
  }
  for (int round = 0; round < 200; ++round) {
    int before[kProducers];
    for (int p = 0; p < kProducers; ++p) before[p] = submitted[p].load();
    queue.drain();
    for (int p = 0; p < kProducers; ++p) ASSERT_GE(done[p].load(), before[p]) << "round " << round;
  }
  for (auto& t : producers) t.join();
  queue.drain();
  ASSERT_EQ(seen.size(), size_t{kProducers * kPerProducer});
  std::vector<int> next(kProducers, 1);
  for (auto [p, i] : seen) ASSERT_EQ(i, next[p]++) << "producer " << p;
}

// A full ring refuses instead of blocking; and termination signals belong to
// the main loop: a worker that could take one would end the process.
TEST(SerialQueue, TryAsyncRefusesWhenFullAndTheWorkerBlocksTerminationSignals) {
  std::atomic<int> ran{0};
  std::binary_semaphore entered{0}, open{0};
  SerialQueue queue("test.full", 8);
  queue.async([&] {  // the worker holds this task, so the ring itself is empty
    entered.release();
    open.acquire();
  });
  entered.acquire();
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(queue.tryAsync([&ran] { ran++; })) << i;
  EXPECT_FALSE(queue.tryAsync([&ran] { ran += 1000; }));
  open.release();
  queue.drain();
  sigset_t mask;
  sigemptyset(&mask);
  EXPECT_TRUE(queue.tryAsync([&] { ran++; pthread_sigmask(SIG_BLOCK, nullptr, &mask); }));  // room again
  queue.drain();
  EXPECT_EQ(ran.load(), 8 + 1);
  EXPECT_EQ(sigismember(&mask, SIGTERM) + sigismember(&mask, SIGINT), 2);
}

// Posted work runs on the loop in posting order from every thread. Timers may
// come late on a loaded machine but never early (so a repeating timer never
// fires more often than its interval), in deadline order, and never once cancelled.
TEST(MainLoop, PostedWorkKeepsItsOrderAndTimersFireNoEarlierThanDueAndNeverOnceCancelled) {
  MainLoop loop;
  const std::thread::id loopThread = std::this_thread::get_id();
  std::vector<std::pair<int, int>> seen;
  std::vector<int> oneShots;
  std::vector<double> ticks;
  bool onLoop = true;
  int running = 2;  // the posters and the ticks; the loop quits when both are done
  auto finished = [&] { if (--running == 0) loop.quit(); };
  const double start = HostClock::nowSeconds();
  double lateAt = 0;
  std::thread poster([&] {
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t) {
      posters.emplace_back([&, t] {
        for (int i = 0; i < 2000; ++i) {
          loop.post([&, t, i] {
            onLoop &= std::this_thread::get_id() == loopThread;
            seen.emplace_back(t, i);
          });
        }
      });
    }
    for (auto& p : posters) p.join();
    loop.post(finished);  // after every other task
  });
  loop.postAfter(0.12, [&] {
    oneShots.push_back(2);
    lateAt = HostClock::nowSeconds() - start;
  });
  loop.postAfter(0.04, [&] { oneShots.push_back(1); });
  loop.cancel(loop.postAfter(0.02, [&] { oneShots.push_back(99); }));
  MainLoop::TimerId id = loop.addRepeating(0.02, 0.005, [&] {
    ticks.push_back(HostClock::nowSeconds() - start);
    if (ticks.size() == 10) {
      loop.cancel(id);
      loop.postAfter(0.2, finished);  // room for more ticks if the cancel did not hold
    }
  });
  loop.postAfter(20, [&] { loop.quit(); });  // a test that hangs is a failure too
  loop.run();
  poster.join();
  EXPECT_TRUE(onLoop);
  ASSERT_EQ(seen.size(), 3u * 2000);
  std::vector<int> next(3, 0);
  for (auto [t, i] : seen) ASSERT_EQ(i, next[t]++) << "thread " << t;
  EXPECT_EQ(oneShots, (std::vector<int>{1, 2}));
  // Seconds as doubles round: a deadline met to the nanosecond must still pass.
  EXPECT_GE(lateAt, 0.12 - 1e-6);
  ASSERT_EQ(ticks.size(), 10u);
  for (size_t k = 0; k < ticks.size(); ++k) EXPECT_GE(ticks[k], (k + 1) * 0.02 - 1e-6) << "tick " << k;
}

// kill() targets the whole process: queue workers block SIGTERM, and
// watchSignals blocks it in this thread before the writer inherits the mask,
// so only the loop takes it.
TEST(MainLoop, ReadableDataEndOfInputAndATerminationSignalReachTheirHandlersOnTheLoop) {
  MainLoop loop;
  const std::thread::id loopThread = std::this_thread::get_id();
  bool onLoop = true;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string received;
  int eofDeliveries = 0, signal = 0;
  loop.watchReadable(fds[0], [&] {
    onLoop &= std::this_thread::get_id() == loopThread;
    char buf[64];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) {
      received.append(buf, static_cast<size_t>(n));
      if (received == "stop\n") close(fds[1]);  // end of input next
      return;
    }
    ++eofDeliveries;
    loop.unwatch(fds[0]);  // the hang-up stays reported: without unwatch this handler would repeat
    loop.postAfter(0.05, [] { kill(getpid(), SIGTERM); });
  });
  ASSERT_TRUE(loop.watchSignals({SIGTERM}, [&](int sig) {
    signal = sig;
    onLoop &= std::this_thread::get_id() == loopThread;
    loop.quit();
  }));
  std::thread writer([&] { ASSERT_EQ(write(fds[1], "stop\n", 5), 5); });
  loop.postAfter(20, [&] { loop.quit(); });
  loop.run();
  writer.join();
  close(fds[0]);
  EXPECT_EQ(std::tie(received, eofDeliveries, signal), std::tuple("stop\n", 1, SIGTERM));
  EXPECT_TRUE(onLoop);
}

}  // namespace
}  // namespace orvane
