// SerialQueue on a mutex, a condition variable and a deque of tasks; a worker
// that goes when idle leaves under the mutex, so a submission either finds it
// or starts another.
#include "platform/runtime/serial_queue.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <semaphore>

namespace orvane {

namespace {

constexpr size_t kThreadNameMax = 15;  // Linux limit, without the terminator

// "com.orvane.capture.engine" -> "engine", cut to what Linux keeps.
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

SerialQueue::SerialQueue(std::string label, size_t capacity, double idleExitSeconds)
    : label_(std::move(label)), capacity_(std::max<size_t>(capacity, 1)), idleExit_(std::max(idleExitSeconds, 0.0)) {
  std::lock_guard lock(mutex_);
  ensureWorker();  // a thread limit shows at once, not at the first task
}

SerialQueue::~SerialQueue() {
  std::thread worker;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    worker = std::move(worker_);
  }
  changed_.notify_all();
  if (worker.joinable()) worker.join();
}

void SerialQueue::async(Task task) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return tasks_.size() < capacity_; });
  tasks_.push_back(std::move(task));
  ensureWorker();
  lock.unlock();
  changed_.notify_all();
}

void SerialQueue::ensureWorker() {
  if (running_ || stopping_) return;
  if (worker_.joinable()) worker_.join();  // gone already: it left under the mutex
  SignalsBlocked blocked;
  worker_ = std::thread([this] { workerLoop(); });
  running_ = true;
}

void SerialQueue::workerLoop() {
  workerId_.store(std::this_thread::get_id());
  pthread_setname_np(pthread_self(), threadNameFor(label_).c_str());
  std::unique_lock lock(mutex_);
  const auto ready = [this] { return !tasks_.empty() || stopping_; };
  for (;;) {
    if (idleExit_.count() == 0) changed_.wait(lock, ready);
    else changed_.wait_for(lock, idleExit_, ready);
    if (tasks_.empty()) {  // idle that long, or stopping with every task run
      running_ = false;
      workerId_.store(std::thread::id());
      return;
    }
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    changed_.notify_all();  // room for a waiting submission
    task();
    task = nullptr;  // what it holds goes on this thread, outside the lock
    lock.lock();
  }
}

void SerialQueue::drain() {
  if (isCurrent()) {
    // Waiting here for a task behind the running one can never end; fail loudly
    // in every build rather than hang.
    std::fprintf(stderr, "SerialQueue %s: drain() called from its own thread\n", label_.c_str());
    std::abort();
  }
  std::binary_semaphore done(0);
  async([&done] { done.release(); });
  done.acquire();
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == workerId_.load(); }

}  // namespace orvane
