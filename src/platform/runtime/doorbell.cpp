// Doorbell on a futex: the word is 1 once rung and until the waiter takes it.
#include "platform/runtime/doorbell.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cmath>
#include <ctime>

namespace orvane {

namespace {
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);

uint32_t* word(std::atomic<uint32_t>& rung) { return reinterpret_cast<uint32_t*>(&rung); }
}  // namespace

void Doorbell::ring() {
  if (rung_.exchange(1, std::memory_order_release) == 0) {
    syscall(SYS_futex, word(rung_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }
}

// An interrupted or spurious wake-up returns early: the waiter only looks sooner.
void Doorbell::wait(double timeoutSeconds) {
  if (rung_.exchange(0, std::memory_order_acquire) == 0) {
    const double whole = std::floor(timeoutSeconds);
    const timespec timeout{static_cast<time_t>(whole), static_cast<long>((timeoutSeconds - whole) * 1e9)};
    syscall(SYS_futex, word(rung_), FUTEX_WAIT_PRIVATE, 0, &timeout, nullptr, 0);  // relative, monotonic
    rung_.exchange(0, std::memory_order_acquire);
  }
}

}  // namespace orvane
