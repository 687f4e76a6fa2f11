// The sound-server connection shared by both record streams: their control
// threads may both be the first to connect, and the loop must start once.
#include "platform/pulse/pulse_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace orvane {
namespace {

TEST(PulseClientTest, TwoThreadsConnectingFirstAtOnceStartOneLoop) {
  // No server answers here: each connect fails at once, after starting the loop.
  ASSERT_EQ(setenv("PULSE_SERVER", "unix:/nonexistent/orvane-test/native", 1), 0);
  for (int round = 0; round < 50; ++round) {
    PulseClient client;
    std::atomic<int> waiting{2};
    auto connect = [&] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) {
      }
      EXPECT_NE(client.connect(0.5), PulseClient::Outcome::connected);
    };
    std::thread first(connect), second(connect);
    first.join();
    second.join();
    EXPECT_FALSE(client.isReady());
  }
  unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace orvane
