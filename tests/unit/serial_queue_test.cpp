// A serial queue whose worker goes when idle: tasks posted around its exit
// all run, in order, and drain() still waits for them.
#include "platform/runtime/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace orvane {
namespace {

using std::chrono::microseconds;

size_t threads() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

TEST(SerialQueueTest, AWorkerThatGoesWhenIdleLosesAndReordersNothing) {
  const size_t before = threads();
  SerialQueue queue("test.idle", 4, 0.02);  // a small ring: bursts wait for room
  std::vector<int> ran;                     // the worker's; read after drain()
  std::atomic<int> done{0};
  int posted = 0;
  // Bursts a little before, at and after the idle exit, so that some land
  // while the worker is on its way out.
  for (int round = 0; round < 30; ++round) {
    for (int i = 0; i < 6; ++i) queue.async([&, n = posted++] { ran.push_back(n), ++done; });
    std::this_thread::sleep_for(microseconds(15000 + 400 * round));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(done, posted) << "no task left behind by a worker that went";
  EXPECT_EQ(threads(), before) << "the idle worker exited";
  queue.drain();
  ASSERT_EQ(ran.size(), static_cast<size_t>(posted));
  for (int n = 0; n < posted; ++n) ASSERT_EQ(ran[n], n) << "in submission order";
  // The next task brings the worker back.
  queue.async([&ran] { ran.push_back(-1); });
  EXPECT_EQ(threads(), before + 1);
  queue.drain();
  EXPECT_EQ(ran.back(), -1);
}

}  // namespace
}  // namespace orvane
