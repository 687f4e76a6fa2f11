// SerialQueue, the thread every track's writes run on: ordering across
// producers and drain. (A full queue is a track test; the main loop's input,
// signals and timers are the lifecycle, restart back-off and watchdog runs.)
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace orvane
