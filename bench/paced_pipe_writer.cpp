// A sound source paced by the host clock, for the time-stamp benchmark: writes
// 16-bit mono sine blocks into the FIFO of a pipe source at exactly RATE frames
// per CLOCK_MONOTONIC second, each block when its last frame is due, until
// killed or the FIFO's reader goes away.
//
//   paced_pipe_writer FIFO [RATE=48000] [BLOCK_FRAMES=480]
//
// Deadlines are absolute (start + frames written / RATE), so a late wake-up
// delays one write and never the ones after it: the average rate is exact.
// While nobody reads the FIFO (the pipe source only reads while a stream
// records), blocks are dropped rather than queued, as a microphone's would be,
// and the pipe is shrunk to one page so that a recording starts with little
// backlog. While a stream records, a full pipe is waited for instead (the
// server was late, the audio is not lost) and the overdue blocks follow at
// once; only a reader gone for kIdleAfterNanos (2 s) counts as nobody reading.
// A hardware clock is not late: the writer asks for real-time scheduling and
// no timer slack, so that its wake-ups add as little as they can to the
// delays that the stamps must see through.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr double kToneHz = 440.0;
constexpr double kToneAmplitude = 0.25 * 32767;
constexpr int kSmallestPipeBytes = 4096;
constexpr int kRealtimePriority = 10;
constexpr int64_t kIdleAfterNanos = 2 * kNanosPerSecond;

int64_t monotonicNanos() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * kNanosPerSecond + now.tv_nsec;
}

void sleepUntil(int64_t nanos) {
  const timespec when{static_cast<time_t>(nanos / kNanosPerSecond), static_cast<long>(nanos % kNanosPerSecond)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FIFO [RATE=48000] [BLOCK_FRAMES=480]\n", argv[0]);
    return 2;
  }
  const int64_t rate = argc > 2 ? std::atoll(argv[2]) : 48000;
  const int64_t blockFrames = argc > 3 ? std::atoll(argv[3]) : 480;
  if (rate <= 0 || blockFrames <= 0 || blockFrames * 2 > kSmallestPipeBytes) {
    std::fprintf(stderr, "paced_pipe_writer: bad rate or block size\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);  // a reader gone is an EPIPE to end on, not a kill
  // Non-blocking, so a full pipe (nobody recording) drops a block instead of
  // holding back the ones after it. Blocks up to a page are written whole or not at all.
  const int fd = open(argv[1], O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "paced_pipe_writer: cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  (void)fcntl(fd, F_SETPIPE_SZ, kSmallestPipeBytes);
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  sched_param priority{};
  priority.sched_priority = kRealtimePriority;
  if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0) {
    std::fprintf(stderr, "paced_pipe_writer: no real-time scheduling (%s): wake-ups will be late under load\n",
                 std::strerror(errno));
  }

  std::vector<int16_t> block(static_cast<size_t>(blockFrames));
  const int64_t start = monotonicNanos();
  int64_t framesDone = 0;
  bool reading = false;
  for (;;) {
    for (int64_t i = 0; i < blockFrames; ++i) {
      const double t = static_cast<double>((framesDone + i) % rate) / static_cast<double>(rate);
      block[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(kToneAmplitude * std::sin(2 * M_PI * kToneHz * t)));
    }
    framesDone += blockFrames;
    // Integer arithmetic: the deadline of the n-th frame never accumulates rounding.
    sleepUntil(start + framesDone * kNanosPerSecond / rate);
    for (;;) {
      if (write(fd, block.data(), block.size() * sizeof(int16_t)) >= 0) {
        reading = true;
        break;
      }
      if (errno != EAGAIN) {
        std::fprintf(stderr, "paced_pipe_writer: %s after %lld frames\n", std::strerror(errno),
                     static_cast<long long>(framesDone));
        return errno == EPIPE ? 0 : 1;
      }
      const int64_t waitNanos = start + framesDone * kNanosPerSecond / rate + kIdleAfterNanos - monotonicNanos();
      pollfd writable{fd, POLLOUT, 0};
      if (!reading || waitNanos <= 0 || poll(&writable, 1, static_cast<int>(waitNanos / 1'000'000) + 1) == 0) {
        reading = false;  // nobody reads: this block is lost, like a microphone's that nobody records
        break;
      }
    }
  }
}
