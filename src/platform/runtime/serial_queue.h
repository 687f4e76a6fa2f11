// SerialQueue: one worker thread that runs submitted tasks one at a time in
// submission order. Submitting never allocates and never takes a lock, so a
// real-time thread may hand work over with tryAsync. A queue that is mostly
// idle may let its worker go after a while without work and start it again
// for the next task.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/runtime/inplace_function.h"

namespace orvane {

class SerialQueue {
 public:
  using Task = InplaceFunction<64>;

  // With `idleExitSeconds` above 0 the worker exits after that long without
  // work and the next submission starts it again; such a queue's submissions
  // may start a thread, so none of them is for a real-time thread.
  explicit SerialQueue(std::string label, size_t capacity = 1024, double idleExitSeconds = 0);
  ~SerialQueue();  // runs what was submitted, then joins the worker
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // Any thread, real-time included: false when the queue is full. Without
  // `wakeNow` the task waits for the next wake (a later task's, or wake()),
  // so that a producer can hand over a batch for one wake-up.
  bool tryAsync(Task task, bool wakeNow = true);
  // Any thread, real-time included: runs what waits.
  void wake();
  // Any non-real-time thread: waits for room when the queue is full.
  void async(Task task);
  // Any non-real-time thread: runs `task` on the queue after `delaySeconds`.
  void asyncAfter(double delaySeconds, std::function<void()> task);
  // Any thread but this queue's own: returns once every task submitted before
  // the call has run (a synchronous empty task).
  void drain();
  // True when called from this queue's worker thread.
  bool isCurrent() const;

 private:
  struct Impl;
  std::string label_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvane
