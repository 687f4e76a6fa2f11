// The main loop's one failure of its own: a process with no descriptor left
// for its wake-up ends with one terminal line, not an abort that says nothing.
#include "platform/runtime/main_loop.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

namespace orvane {
namespace {

void makeALoopWithNoDescriptorLeft() {
  rlimit few{};
  few.rlim_cur = few.rlim_max = 64;
  setrlimit(RLIMIT_NOFILE, &few);
  while (dup(STDERR_FILENO) >= 0) {
  }
  MainLoop loop;
}

TEST(MainLoopDeathTest, NoDescriptorForItsWakeUpEndsTheRunWithAStartFailure) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(makeALoopWithNoDescriptorLeft(), testing::ExitedWithCode(2), "");
}

}  // namespace
}  // namespace orvane
