// SerialQueue: ordering, back-pressure, drain, delayed tasks and shutdown.
#include "platform/serial_queue.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "platform/host_clock.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

// Holds the worker inside a task until released, so tests control when the ring empties.
struct Gate {
  std::binary_semaphore entered{0};
  std::binary_semaphore open{0};
  void block(SerialQueue& queue) {
    queue.async([this] {
      entered.release();
      open.acquire();
    });
    entered.acquire();
  }
};

TEST(SerialQueue, RunsTenThousandTasksInSubmissionOrder) {
  std::vector<int> seen;  // touched by the worker only until drain returns
  SerialQueue queue("test.order", 256);
  for (int i = 0; i < 10000; ++i) queue.async([&seen, i] { seen.push_back(i); });
  queue.drain();
  ASSERT_EQ(seen.size(), 10000u);
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(seen[i], i) << "at " << i;
}

TEST(SerialQueue, ConcurrentProducersKeepTheirOwnOrderAndLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 5000;
  std::vector<std::pair<int, int>> seen;
  SerialQueue queue("test.producers", 64);  // small, so producers often wait for room
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) queue.async([&seen, p, i] { seen.emplace_back(p, i); });
    });
  }
  for (auto& t : producers) t.join();
  queue.drain();
  ASSERT_EQ(seen.size(), size_t{kProducers * kPerProducer});
  std::vector<int> next(kProducers, 0);
  for (auto [p, i] : seen) ASSERT_EQ(i, next[p]++) << "producer " << p;
}

TEST(SerialQueue, TryAsyncRefusesWhenFullAndRunsEveryAcceptedTask) {
  constexpr size_t kCapacity = 8;
  std::atomic<int> ran{0};
  Gate gate;
  SerialQueue queue("test.full", kCapacity);
  gate.block(queue);  // the worker holds this task, so the ring itself is empty
  for (size_t i = 0; i < kCapacity; ++i) EXPECT_TRUE(queue.tryAsync([&ran] { ran++; })) << i;
  EXPECT_FALSE(queue.tryAsync([&ran] { ran += 1000; }));
  gate.open.release();
  queue.drain();
  EXPECT_EQ(ran.load(), int{kCapacity});
  // Room again once the worker caught up.
  EXPECT_TRUE(queue.tryAsync([&ran] { ran++; }));
  queue.drain();
  EXPECT_EQ(ran.load(), int{kCapacity} + 1);
}

TEST(SerialQueue, DrainWaitsForEverythingSubmittedBeforeItDespiteRacingProducers) {
  constexpr int kProducers = 3;
  std::atomic<int64_t> submitted[kProducers] = {};
  std::atomic<int64_t> done[kProducers] = {};
  std::atomic<bool> stop{false};
  SerialQueue queue("test.drain", 32);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int64_t n = 1; !stop.load(); ++n) {
        queue.async([&done, p, n] { done[p].store(n); });
        submitted[p].store(n);
      }
    });
  }
  for (int round = 0; round < 300; ++round) {
    int64_t before[kProducers];
    for (int p = 0; p < kProducers; ++p) before[p] = submitted[p].load();
    queue.drain();
    for (int p = 0; p < kProducers; ++p) ASSERT_GE(done[p].load(), before[p]) << "round " << round;
  }
  stop = true;
  for (auto& t : producers) t.join();
}

TEST(SerialQueue, DelayedTasksRunAfterTheirDelayInDeadlineThenSubmissionOrder) {
  std::vector<std::string> seen;
  std::promise<void> finished;
  SerialQueue queue("test.after");
  const double start = HostClock::nowSeconds();
  double lateRanAt = 0;
  queue.asyncAfter(0.15, [&] {
    seen.push_back("late");
    lateRanAt = HostClock::nowSeconds();
    finished.set_value();
  });
  queue.asyncAfter(0.05, [&] { seen.push_back("early-a"); });
  queue.asyncAfter(0.05, [&] { seen.push_back("early-b"); });
  queue.async([&] { seen.push_back("now"); });
  queue.asyncAfter(0, [&] { seen.push_back("zero"); });
  ASSERT_EQ(finished.get_future().wait_for(10s), std::future_status::ready);
  queue.drain();
  EXPECT_EQ(seen, (std::vector<std::string>{"now", "zero", "early-a", "early-b", "late"}));
  EXPECT_GE(lateRanAt - start, 0.15 - 1e-6);  // doubles round
}

TEST(SerialQueue, DestructorRunsWhatWasQueued) {
  std::atomic<int> ran{0};
  std::thread opener;
  Gate gate;  // outlives the queue: the worker waits on it during destruction
  {
    SerialQueue queue("test.shutdown");
    gate.block(queue);
    for (int i = 0; i < 100; ++i) queue.async([&ran] { ran++; });
    // Open the gate only once the destructor is (very likely) already waiting.
    opener = std::thread([&gate] {
      std::this_thread::sleep_for(50ms);
      gate.open.release();
    });
  }
  opener.join();
  EXPECT_EQ(ran.load(), 100);
}

TEST(SerialQueue, WorkerIsNamedBlocksTerminationSignalsAndKnowsItIsCurrent) {
  SerialQueue queue("com.orvane.capture.fsyncQueue");
  std::string name;
  bool termBlocked = false, intBlocked = false, current = false;
  queue.async([&] {
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    name = buf;
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    termBlocked = sigismember(&mask, SIGTERM) == 1;
    intBlocked = sigismember(&mask, SIGINT) == 1;
    current = queue.isCurrent();
  });
  queue.drain();
  EXPECT_EQ(name, "fsyncQueue");
  EXPECT_TRUE(termBlocked);
  EXPECT_TRUE(intBlocked);
  EXPECT_TRUE(current);
  EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueueDeathTest, DrainFromItsOwnThreadAbortsInsteadOfHanging) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SerialQueue queue("test.self");
        queue.async([&queue] { queue.drain(); });
        queue.drain();
      },
      "drain\\(\\) called from its own thread");
}

}  // namespace
}  // namespace orvane
