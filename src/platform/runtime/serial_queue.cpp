// SerialQueue: a bounded lock-free ring of task cells (one sequence number per
// cell, so producers never lock), a POSIX semaphore that wakes the worker, and
// a mutex-guarded heap of delayed tasks that only ordinary threads touch; a
// queue whose worker goes when idle restarts it under a mutex of its own.
#include "platform/runtime/serial_queue.h"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

#include "platform/runtime/host_clock.h"

namespace orvane {

namespace {

constexpr size_t kMinCapacity = 2;
constexpr size_t kThreadNameMax = 15;  // Linux limit, without the terminator
constexpr size_t kCacheLine = 64;
// How long async() sleeps between attempts once yielding did not make room.
constexpr auto kFullBackoff = std::chrono::microseconds(200);
constexpr int kFullYields = 64;

size_t roundUpToPowerOfTwo(size_t n) {
  size_t p = kMinCapacity;
  while (p < n) p <<= 1;
  return p;
}

// "com.orvane.capture.writer" -> "writer", cut to what Linux keeps.
std::string threadNameFor(const std::string& label) {
  const size_t dot = label.find_last_of('.');
  std::string name = (dot == std::string::npos || dot + 1 == label.size()) ? label : label.substr(dot + 1);
  if (name.empty()) name = "serial-queue";
  return name.substr(0, kThreadNameMax);
}

// The process reads SIGTERM and SIGINT through the main loop's signalfd, so no
// other thread may take them; a thread started inside this guard inherits the
// blocked mask from its first instruction on.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    pthread_sigmask(SIG_BLOCK, &block, &saved_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

}  // namespace

struct SerialQueue::Impl {
  struct alignas(kCacheLine) Cell {
    std::atomic<size_t> sequence{0};
    Task task;
  };

  struct Delayed {
    uint64_t due = 0;
    uint64_t order = 0;  // submission order breaks ties between equal deadlines
    std::function<void()> task;
  };
  static bool later(const Delayed& a, const Delayed& b) {
    return a.due != b.due ? a.due > b.due : a.order > b.order;
  }

  Impl(size_t capacity, double idleExit, std::string name)
      : mask(roundUpToPowerOfTwo(capacity) - 1), cells(new Cell[mask + 1]),
        idleExit(idleExit > 0 ? HostClock::hostTimeForSeconds(idleExit) : 0), name(std::move(name)) {
    for (size_t i = 0; i <= mask; ++i) cells[i].sequence.store(i, std::memory_order_relaxed);
    sem_init(&wake, 0, 0);
  }
  ~Impl() { sem_destroy(&wake); }

  // Real-time safe: atomics and sem_post only. Moves from `task` only on success.
  bool tryPush(Task& task, bool wakeNow = true) {
    size_t pos = enqueuePos.load(std::memory_order_relaxed);
    Cell* cell;
    for (;;) {
      cell = &cells[pos & mask];
      const size_t seq = cell->sequence.load(std::memory_order_acquire);
      const auto diff = static_cast<intptr_t>(seq) - static_cast<intptr_t>(pos);
      if (diff == 0) {
        if (enqueuePos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
      } else if (diff < 0) {
        return false;  // the cell still holds a task from the previous lap
      } else {
        pos = enqueuePos.load(std::memory_order_relaxed);
      }
    }
    cell->task = std::move(task);
    cell->sequence.store(pos + 1, std::memory_order_release);
    if (wakeNow) sem_post(&wake);
    return true;
  }

  // Worker only. False when the next cell is empty or still being written.
  bool runOne() {
    Cell& cell = cells[dequeuePos & mask];
    if (cell.sequence.load(std::memory_order_acquire) != dequeuePos + 1) return false;
    Task task = std::move(cell.task);
    // Free the cell before running, so a long task does not shrink the ring.
    cell.sequence.store(dequeuePos + mask + 1, std::memory_order_release);
    ++dequeuePos;
    task();
    return true;
  }

  bool ringEmpty() const { return enqueuePos.load(std::memory_order_acquire) == dequeuePos; }

  // Delayed tasks come due at `now` at the latest; anything async() returned
  // from before that moment is already visible in the ring and runs first.
  void runDueDelayed(uint64_t now) {
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard lock(delayedMutex);
        if (delayed.empty() || delayed.front().due > now) return;
        std::pop_heap(delayed.begin(), delayed.end(), later);
        task = std::move(delayed.back().task);
        delayed.pop_back();
      }
      task();
    }
  }

  bool delayedEmpty() {
    std::lock_guard lock(delayedMutex);
    return delayed.empty();
  }

  // False when a worker that goes when idle waited that long for nothing.
  bool waitForWork() {
    uint64_t due = 0;
    {
      std::lock_guard lock(delayedMutex);
      if (!delayed.empty()) due = delayed.front().due;
    }
    if (due == 0 && idleExit == 0) {
      while (sem_wait(&wake) != 0 && errno == EINTR) {
      }
      return true;
    }
    if (due == 0) due = HostClock::monotonicNow() + idleExit;
    timespec until{static_cast<time_t>(due / 1'000'000'000ull), static_cast<long>(due % 1'000'000'000ull)};
    // Timeouts and interrupted waits simply start another round.
    return sem_clockwait(&wake, CLOCK_MONOTONIC, &until) == 0 || errno != ETIMEDOUT || !delayedEmpty();
  }

  // Under lifeMutex, so that a submission either finds the task seen here or
  // finds no worker and starts one.
  bool leaveWhenIdle() {
    std::lock_guard lock(lifeMutex);
    if (!ringEmpty() || !delayedEmpty()) return false;
    running = false;
    workerId.store(std::thread::id(), std::memory_order_release);
    return true;
  }

  // Any ordinary thread, after a submission.
  void ensureWorker() {
    std::lock_guard lock(lifeMutex);
    if (running || stopping.load(std::memory_order_acquire)) return;
    if (worker.joinable()) worker.join();  // gone already, or about to be
    SignalsBlocked blocked;
    worker = std::thread([this] { workerLoop(); });
    running = true;
  }

  void workerLoop() {
    workerId.store(std::this_thread::get_id(), std::memory_order_release);
    pthread_setname_np(pthread_self(), name.c_str());
    for (;;) {
      const uint64_t now = HostClock::monotonicNow();
      // Bounded, so a producer that keeps the ring full cannot starve delayed tasks.
      for (size_t i = 0; i <= mask && runOne(); ++i) {
      }
      runDueDelayed(now);
      if (stopping.load(std::memory_order_acquire)) {
        // Tasks run during shutdown may submit more; run those too.
        while (!ringEmpty()) {
          if (!runOne()) std::this_thread::yield();
        }
        return;
      }
      if (!waitForWork() && leaveWhenIdle()) return;
    }
  }

  const size_t mask;
  std::unique_ptr<Cell[]> cells;
  alignas(kCacheLine) std::atomic<size_t> enqueuePos{0};
  alignas(kCacheLine) size_t dequeuePos = 0;  // worker only
  sem_t wake;
  std::atomic<bool> stopping{false};

  std::mutex delayedMutex;
  std::vector<Delayed> delayed;  // a min-heap on (due, order)
  uint64_t delayedOrder = 0;

  const uint64_t idleExit;  // host time; 0: the worker stays
  const std::string name;
  std::mutex lifeMutex;
  bool running = false;  // lifeMutex
  std::thread worker;    // lifeMutex
  std::atomic<std::thread::id> workerId;
};

SerialQueue::SerialQueue(std::string label, size_t capacity, double idleExitSeconds)
    : label_(std::move(label)), impl_(std::make_unique<Impl>(capacity, idleExitSeconds, threadNameFor(label_))) {
  impl_->ensureWorker();  // a thread limit shows at once, not at the first task
}

// Delayed tasks that are not yet due are dropped: nothing waits for them.
SerialQueue::~SerialQueue() {
  impl_->stopping.store(true, std::memory_order_release);
  sem_post(&impl_->wake);
  std::thread worker;
  {
    // Joined outside the lock: a worker going idle just now takes it on its way out.
    std::lock_guard lock(impl_->lifeMutex);
    worker = std::move(impl_->worker);
  }
  if (worker.joinable()) worker.join();
}

bool SerialQueue::tryAsync(Task task, bool wakeNow) {
  if (!impl_->tryPush(task, wakeNow)) return false;
  if (impl_->idleExit != 0) impl_->ensureWorker();
  return true;
}

void SerialQueue::wake() { sem_post(&impl_->wake); }

void SerialQueue::async(Task task) {
  for (int attempt = 0; !impl_->tryPush(task); ++attempt) {
    if (attempt < kFullYields) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(kFullBackoff);
    }
  }
  if (impl_->idleExit != 0) impl_->ensureWorker();
}

void SerialQueue::asyncAfter(double delaySeconds, std::function<void()> task) {
  if (delaySeconds <= 0) {
    // Due now: keep it in line behind everything submitted before it.
    async([task = std::move(task)] { task(); });
    return;
  }
  const uint64_t due = HostClock::monotonicNow() + HostClock::hostTimeForSeconds(delaySeconds);
  {
    std::lock_guard lock(impl_->delayedMutex);
    impl_->delayed.push_back({due, impl_->delayedOrder++, std::move(task)});
    std::push_heap(impl_->delayed.begin(), impl_->delayed.end(), Impl::later);
  }
  sem_post(&impl_->wake);  // the worker may be sleeping toward a later deadline
  if (impl_->idleExit != 0) impl_->ensureWorker();
}

void SerialQueue::drain() {
  if (isCurrent()) {
    // Waiting here for a task behind the running one can never end; fail loudly
    // in every build rather than hang.
    std::fprintf(stderr, "SerialQueue %s: drain() called from its own thread\n", label_.c_str());
    std::abort();
  }
  // Tasks from asyncAfter that are not yet due have not been submitted yet.
  std::binary_semaphore done(0);
  async([&done] { done.release(); });
  done.acquire();
}

bool SerialQueue::isCurrent() const {
  return std::this_thread::get_id() == impl_->workerId.load(std::memory_order_acquire);
}

}  // namespace orvane
