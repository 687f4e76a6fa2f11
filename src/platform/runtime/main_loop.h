// MainLoop: the event loop of the main thread. It delivers signals (through a
// signalfd), readiness of file descriptors such as standard input, work posted
// from other threads, triggers fired from real-time threads, one-shot delayed
// work and repeating timers.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>

namespace orvane {

class MainLoop {
 public:
  using TriggerId = size_t;
  static constexpr size_t kMaxTriggers = 8;

  MainLoop();
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  // The process's loop, run by the main thread.
  static MainLoop& main();

  // Blocks `signals` in the calling thread (call before any other thread
  // exists so every thread inherits the mask) and delivers them to `handler`
  // on the loop. Called once. Returns false when the signalfd cannot be made.
  bool watchSignals(std::initializer_list<int> signals, std::function<void(int)> handler);
  // Calls `handler` on the loop whenever `fd` is readable, at end of input or
  // on error, until unwatch(fd).
  void watchReadable(int fd, std::function<void()> handler);
  void unwatch(int fd);

  // Any thread: runs `task` on the loop as soon as possible, in posting order.
  void post(std::function<void()> task);
  // Before the loop runs: `task`, to be run on the loop once per fire() (fires
  // that come together run it once), ahead of the work posted with them.
  TriggerId addTrigger(std::function<void()> task);
  // Any thread, real-time included: no allocation, no lock.
  void fire(TriggerId trigger);
  // Any thread: runs `task` on the loop once, after `delaySeconds`.
  void postAfter(double delaySeconds, std::function<void()> task);
  // Any thread: runs `task` every `intervalSeconds`, each tick allowed to come
  // up to `leewaySeconds` late so that wake-ups can be coalesced.
  void addRepeating(double intervalSeconds, double leewaySeconds, std::function<void()> task);

  // Main thread: runs until quit() (in the product it is never quit), or
  // until it cannot wait for events any more (a diagnostic says why).
  void run();
  // Any thread.
  void quit();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvane
