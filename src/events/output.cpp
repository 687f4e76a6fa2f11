// Event lines, diagnostics and the exit gate. Event lines go through a queue
// that one writer thread drains, so a host that stops reading our standard
// output never holds the thread that emitted a line: the main loop still
// takes a stop, and capture ends when it is asked to.
#include "events/output.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace orvane {

namespace {

// LEVEL lines a host that does not read may leave waiting; beyond this the
// oldest is dropped. Every other line is kept: there are few of them.
constexpr size_t kMaxWaitingLevels = 64;

std::atomic<bool> gateTaken{false};

// A line break inside a line would let a path (or any text we pass on) forge
// a line of its own, which a host could read as terminal: CR and LF are
// written as the two characters \r and \n.
std::string escapeBreaks(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\n') escaped += "\\n";
    else if (c == '\r') escaped += "\\r";
    else escaped += c;
  }
  return escaped;
}

// Writes all of `text` to `fd`; a host that closed its end loses the rest.
void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<size_t>(written));
  }
}

bool isLevel(const std::string& line) { return line.starts_with("LEVEL "); }

// The lines waiting for standard output, in order, and the thread that writes them.
class LineQueue {
 public:
  void push(std::string line, bool terminal) {
    std::unique_lock lock(mutex_);
    if (closed_) return;  // nothing follows the terminal line
    closed_ = terminal;
    if (isLevel(line) && ++levels_ > kMaxWaitingLevels) dropOldestLevel();
    lines_.push_back(std::move(line));
    if (!startWriter(lock)) return writeHere(lock);
    wake_.notify_one();
  }

  // Returns once every queued line is out (or standard output is gone).
  void waitDrained() {
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [this] { return lines_.empty() && !writing_; });
  }

 private:
  void dropOldestLevel() {
    for (auto it = lines_.begin(); it != lines_.end(); ++it) {
      if (isLevel(*it)) {
        lines_.erase(it);
        --levels_;
        return;
      }
    }
  }

  // A writer that cannot be started (no memory for a thread) leaves the
  // lines to the caller's thread, as before the queue existed.
  bool startWriter(std::unique_lock<std::mutex>&) {
    if (writerState_ == Writer::none) {
      try {
        std::thread([this] { run(); }).detach();
        writerState_ = Writer::running;
      } catch (const std::system_error&) {
        writerState_ = Writer::failed;
      }
    }
    return writerState_ == Writer::running;
  }

  // The writer thread: whole lines, one write each, in order.
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return !lines_.empty(); });
      writeHere(lock);
    }
  }

  void writeHere(std::unique_lock<std::mutex>& lock) {
    while (!lines_.empty()) {
      std::string line = std::move(lines_.front());
      lines_.pop_front();
      if (isLevel(line)) --levels_;
      line.push_back('\n');
      writing_ = true;
      lock.unlock();
      writeAll(STDOUT_FILENO, line);
      lock.lock();
      writing_ = false;
    }
    drained_.notify_all();
  }

  enum class Writer { none, running, failed };
  std::mutex mutex_;
  std::condition_variable wake_, drained_;
  std::deque<std::string> lines_;
  size_t levels_ = 0;
  bool writing_ = false;
  bool closed_ = false;
  Writer writerState_ = Writer::none;
};

// Never destroyed: the process leaves through _exit while the writer runs.
LineQueue& lineQueue() {
  static auto* queue = new LineQueue;
  return *queue;
}

void queueLine(std::string_view line, bool terminal) {
  lineQueue().push(hasLineBreak(line) ? escapeBreaks(line) : std::string(line), terminal);
}

[[noreturn]] void parkForever() {
  for (;;) pause();
}

// Takes the gate, queues the terminal line after every line before it and
// leaves once the host has taken them all: no line can follow it.
[[noreturn]] void leaveThroughGate(const std::string_view* line, int status) {
  if (gateTaken.exchange(true)) parkForever();
  if (line) queueLine(*line, true);
  lineQueue().waitDrained();
  _exit(status);
}

}  // namespace

bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

void emit(std::string_view line) { queueLine(line, false); }

void diag(std::string_view message) {
  std::string whole;
  whole.reserve(kDiagPrefix.size() + message.size() + 1);
  whole.append(kDiagPrefix).append(hasLineBreak(message) ? escapeBreaks(message) : std::string(message)).push_back('\n');
  // One write keeps the line whole among other writers; the result is not examined.
  [[maybe_unused]] ssize_t written = write(STDERR_FILENO, whole.data(), whole.size());
}

std::string shortestDecimal(double value) {
  char text[64];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  std::string result(text, ec == std::errc() ? end : text);
  if (result.find_first_of(".eEn") == std::string::npos) result += ".0";
  return result;
}

void finish(std::string_view line, int status) { leaveThroughGate(&line, status); }

void fail(std::string_view code, std::string_view message) {
  std::string line = "ERROR ";
  line.append(code).append(" ").append(message);
  finish(line, 2);
}

void exitProcess(int status) { leaveThroughGate(nullptr, status); }

}  // namespace orvane
