// SerialQueue: one worker thread that runs submitted tasks one at a time in
// submission order. A queue that is mostly idle may let its worker go after a
// while without work and start it again for the next task. Submitting takes a
// lock and may start a thread: it is for control threads, never the capture
// side.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace orvane {

class SerialQueue {
 public:
  using Task = std::function<void()>;

  // With `idleExitSeconds` above 0 the worker exits after that long without
  // work and the next submission starts it again.
  explicit SerialQueue(std::string label, size_t capacity = 1024, double idleExitSeconds = 0);
  ~SerialQueue();  // runs what was submitted, then joins the worker
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // Any thread: waits for room while `capacity` tasks wait already.
  void async(Task task);
  // Any thread but this queue's own: returns once every task submitted before
  // the call has run.
  void drain();
  // True when called from this queue's worker thread.
  bool isCurrent() const;

 private:
  void ensureWorker();  // mutex_ held
  void workerLoop();

  const std::string label_;
  const size_t capacity_;
  const std::chrono::duration<double> idleExit_;  // zero: the worker stays
  std::mutex mutex_;
  std::condition_variable changed_;  // a task came, room was made, or the queue stops
  std::deque<Task> tasks_;
  bool running_ = false;
  bool stopping_ = false;
  std::thread worker_;
  std::atomic<std::thread::id> workerId_;
};

}  // namespace orvane
