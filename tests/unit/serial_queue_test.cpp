// SerialQueue: ordering, back-pressure, drain, and the worker's signal mask.
#include "platform/runtime/serial_queue.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <semaphore>
#include <thread>
#include <vector>

namespace orvane {
namespace {

TEST(SerialQueue, ConcurrentProducersKeepTheirOwnOrderAndLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 5000;
  std::vector<std::pair<int, int>> seen;  // touched by the worker only until drain returns
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
  constexpr int kCapacity = 8;
  std::atomic<int> ran{0};
  std::binary_semaphore entered{0}, open{0};
  SerialQueue queue("test.full", kCapacity);
  queue.async([&] {  // the worker holds this task, so the ring itself is empty
    entered.release();
    open.acquire();
  });
  entered.acquire();
  for (int i = 0; i < kCapacity; ++i) EXPECT_TRUE(queue.tryAsync([&ran] { ran++; })) << i;
  EXPECT_FALSE(queue.tryAsync([&ran] { ran += 1000; }));
  open.release();
  queue.drain();
  EXPECT_TRUE(queue.tryAsync([&ran] { ran++; }));  // room again once the worker caught up
  queue.drain();
  EXPECT_EQ(ran.load(), kCapacity + 1);
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

// Termination signals belong to the main loop: a worker that could take one
// would end the process.
TEST(SerialQueue, WorkerBlocksTerminationSignals) {
  sigset_t mask;
  sigemptyset(&mask);
  SerialQueue queue("test.signals");
  queue.async([&mask] { pthread_sigmask(SIG_BLOCK, nullptr, &mask); });
  queue.drain();
  EXPECT_EQ(sigismember(&mask, SIGTERM), 1);
  EXPECT_EQ(sigismember(&mask, SIGINT), 1);
}

}  // namespace
}  // namespace orvane
