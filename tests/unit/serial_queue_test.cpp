// SerialQueue: ordering, back-pressure, drain and shutdown.
#include "platform/serial_queue.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <semaphore>
#include <thread>
#include <vector>

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
  Gate gate;
  SerialQueue queue("test.full", kCapacity);
  gate.block(queue);  // the worker holds this task, so the ring itself is empty
  for (int i = 0; i < kCapacity; ++i) EXPECT_TRUE(queue.tryAsync([&ran] { ran++; })) << i;
  EXPECT_FALSE(queue.tryAsync([&ran] { ran += 1000; }));
  gate.open.release();
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

// The worker blocks termination signals (the main loop takes them) and its
// queue runs everything submitted before it is destroyed.
TEST(SerialQueue, WorkerBlocksTerminationSignalsAndDestructionRunsWhatWasQueued) {
  std::atomic<int> ran{0};
  bool termBlocked = false, intBlocked = false;
  std::thread opener;
  Gate gate;  // outlives the queue: the worker waits on it during destruction
  {
    SerialQueue queue("test.shutdown");
    queue.async([&] {
      sigset_t mask;
      pthread_sigmask(SIG_BLOCK, nullptr, &mask);
      termBlocked = sigismember(&mask, SIGTERM) == 1;
      intBlocked = sigismember(&mask, SIGINT) == 1;
    });
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
  EXPECT_TRUE(termBlocked);
  EXPECT_TRUE(intBlocked);
}

}  // namespace
}  // namespace orvane
