// MainLoop on ppoll(): an eventfd wakes it for posted work and timer changes,
// a signalfd carries the watched signals, and timers sit in a set ordered by
// deadline so that wake-ups can be coalesced within each timer's leeway.
#include "platform/runtime/main_loop.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "events/output.h"
#include "platform/runtime/host_clock.h"

namespace orvane {

namespace {

constexpr uint64_t kNoWake = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kNanosPerSecond = 1'000'000'000ull;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "MainLoop: %s: %s\n", what, std::strerror(errno));
  std::abort();
}

}  // namespace

struct MainLoop::Impl {
  struct Timer {
    bool repeating = false;
    uint64_t start = 0;     // repeating ticks fall on start + k * interval
    uint64_t interval = 0;
    uint64_t leeway = 0;
    std::function<void()> task;
  };
  struct Watch {
    std::function<void()> handler;
  };

  Impl() {
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // Before anything is recorded (a descriptor or memory limit): the run ends with its one terminal line.
    if (wakeFd < 0) {
      fail("start_failed", std::string("cannot make the main loop's wake-up descriptor: ") + std::strerror(errno));
    }
  }
  ~Impl() {
    close(wakeFd);
    if (signalFd >= 0) close(signalFd);
  }

  void wake() {
    const uint64_t one = 1;
    // A full counter already means "wake up"; nothing else can go wrong here.
    [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
  }

  void addTimer(uint64_t due, Timer timer) {
    {
      std::lock_guard lock(mutex);
      schedule.emplace(due, std::move(timer));
    }
    wake();
  }

  // The latest moment that still serves every timer due before it, each within
  // its leeway: one wake-up then fires them all. Called with `mutex` held.
  uint64_t wakeTime() const {
    uint64_t wakeAt = kNoWake;
    for (const auto& [due, timer] : schedule) {
      if (due > wakeAt) break;
      wakeAt = std::min(wakeAt, due + timer.leeway);
    }
    return wakeAt;
  }

  std::vector<pollfd> pollSet() {
    std::vector<pollfd> fds;
    fds.push_back({wakeFd, POLLIN, 0});
    std::lock_guard lock(mutex);
    if (signalFd >= 0) fds.push_back({signalFd, POLLIN, 0});
    for (const auto& entry : watches) fds.push_back({entry.first, POLLIN, 0});
    return fds;
  }

  // False when the loop cannot wait for events any more.
  bool waitForEvents() {
    std::vector<pollfd> fds = pollSet();
    uint64_t wakeAt;
    {
      std::lock_guard lock(mutex);
      wakeAt = posted.empty() ? wakeTime() : 0;
    }
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    if (wakeAt != kNoWake) {
      const uint64_t now = HostClock::monotonicNow();
      const uint64_t wait = wakeAt > now ? wakeAt - now : 0;
      timeout = {static_cast<time_t>(wait / kNanosPerSecond), static_cast<long>(wait % kNanosPerSecond)};
      timeoutPtr = &timeout;
    }
    const int ready = ppoll(fds.data(), fds.size(), timeoutPtr, nullptr);
    if (ready < 0) {
      if (errno == EINTR) return true;
      diag(std::string("the main loop cannot wait for events (ppoll: ") + std::strerror(errno) + ")");
      return false;
    }
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == wakeFd) {
        uint64_t count;
        [[maybe_unused]] ssize_t n = read(wakeFd, &count, sizeof count);
      } else if (p.fd == signalFd) {
        deliverSignals();
      } else {
        deliverReadable(p.fd, p.revents);
      }
    }
    return true;
  }

  void deliverSignals() {
    signalfd_siginfo info;
    while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      std::function<void(int)> handler;
      {
        std::lock_guard lock(mutex);
        handler = signalHandler;
      }
      handler(static_cast<int>(info.ssi_signo));
    }
  }

  void deliverReadable(int fd, short revents) {
    std::shared_ptr<Watch> watch;
    {
      std::lock_guard lock(mutex);
      auto it = watches.find(fd);
      if (it == watches.end()) return;  // unwatched by an earlier handler
      if (revents & POLLNVAL) {
        // Closed without unwatch: poll would report it forever.
        watches.erase(it);
        return;
      }
      watch = it->second;  // keeps the handler alive if it unwatches itself
    }
    if (revents & (POLLIN | POLLHUP | POLLERR)) watch->handler();
  }

  void runFired() {
    for (size_t i = 0; i < triggerCount; ++i) {
      if (triggers[i].fired.exchange(false)) triggers[i].task();
    }
  }

  void runPosted() {
    std::deque<std::function<void()>> batch;
    {
      std::lock_guard lock(mutex);
      batch.swap(posted);
    }
    for (auto& task : batch) task();
  }

  void fireDueTimers() {
    const uint64_t now = HostClock::monotonicNow();
    for (;;) {
      Timer timer;
      {
        std::lock_guard lock(mutex);
        if (schedule.empty() || schedule.begin()->first > now) return;
        timer = std::move(schedule.begin()->second);
        schedule.erase(schedule.begin());
      }
      timer.task();
      if (timer.repeating) {
        // Ticks missed while the loop was busy collapse into this one; the
        // next falls on the grid, never on now + interval.
        const uint64_t k = (now - timer.start) / timer.interval + 1;
        std::lock_guard lock(mutex);
        schedule.emplace(timer.start + k * timer.interval, std::move(timer));
      }
    }
  }

  struct Trigger {
    std::atomic<bool> fired{false};
    std::function<void()> task;
  };
  std::array<Trigger, kMaxTriggers> triggers;
  size_t triggerCount = 0;  // written before the loop runs

  int wakeFd = -1;
  int signalFd = -1;
  std::atomic<bool> quitRequested{false};

  std::mutex mutex;  // guards everything below
  std::function<void(int)> signalHandler;
  std::map<int, std::shared_ptr<Watch>> watches;
  std::deque<std::function<void()>> posted;
  std::multimap<uint64_t, Timer> schedule;  // by deadline; ties in the order added
};

MainLoop::MainLoop() : impl_(std::make_unique<Impl>()) {}
MainLoop::~MainLoop() = default;

MainLoop& MainLoop::main() {
  // Leaked on purpose: other threads may still post to it while the process exits.
  static MainLoop* loop = new MainLoop();
  return *loop;
}

bool MainLoop::watchSignals(std::initializer_list<int> signals, std::function<void(int)> handler) {
  sigset_t wanted;
  sigemptyset(&wanted);
  for (int sig : signals) {
    if (sigaddset(&wanted, sig) != 0) return false;
  }
  if (pthread_sigmask(SIG_BLOCK, &wanted, nullptr) != 0) return false;
  const int fd = signalfd(-1, &wanted, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) return false;
  std::lock_guard lock(impl_->mutex);
  impl_->signalFd = fd;
  impl_->signalHandler = std::move(handler);
  impl_->wake();  // a running loop must add the new descriptor to its poll set
  return true;
}

void MainLoop::watchReadable(int fd, std::function<void()> handler) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->watches[fd] = std::make_shared<Impl::Watch>(Impl::Watch{std::move(handler)});
  }
  impl_->wake();
}

void MainLoop::unwatch(int fd) {
  std::lock_guard lock(impl_->mutex);
  impl_->watches.erase(fd);
}

void MainLoop::post(std::function<void()> task) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->posted.push_back(std::move(task));
  }
  impl_->wake();
}

void MainLoop::postAfter(double delaySeconds, std::function<void()> task) {
  Impl::Timer timer;
  timer.task = std::move(task);
  impl_->addTimer(HostClock::monotonicNow() + HostClock::hostTimeForSeconds(delaySeconds), std::move(timer));
}

void MainLoop::addRepeating(double intervalSeconds, double leewaySeconds, std::function<void()> task) {
  Impl::Timer timer;
  timer.repeating = true;
  timer.start = HostClock::monotonicNow();
  timer.interval = std::max<uint64_t>(1, HostClock::hostTimeForSeconds(intervalSeconds));
  timer.leeway = HostClock::hostTimeForSeconds(leewaySeconds);
  timer.task = std::move(task);
  impl_->addTimer(timer.start + timer.interval, std::move(timer));
}

MainLoop::TriggerId MainLoop::addTrigger(std::function<void()> task) {
  if (impl_->triggerCount == kMaxTriggers) die("too many main loop triggers");
  impl_->triggers[impl_->triggerCount].task = std::move(task);
  return impl_->triggerCount++;
}

void MainLoop::fire(TriggerId trigger) {
  impl_->triggers[trigger].fired.store(true);
  impl_->wake();
}

void MainLoop::run() {
  while (!impl_->quitRequested.load()) {
    if (!impl_->waitForEvents()) break;
    impl_->runFired();
    impl_->runPosted();
    impl_->fireDueTimers();
  }
  impl_->quitRequested.store(false);  // a later run() starts afresh
}

void MainLoop::quit() {
  impl_->quitRequested.store(true);
  impl_->wake();
}

}  // namespace orvane
