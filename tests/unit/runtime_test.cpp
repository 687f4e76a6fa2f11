// The threads everything runs on: SerialQueue's ordering and drain, and
// MainLoop's readable descriptors and signals. (A full queue is a track test;
// timers keep their time in the restart back-off and the watchdog's runs.)
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

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
