// Event lines, diagnostics and the exit gate. Event lines go through a queue
// that one writer thread drains, so a host that stops reading our standard
// output never holds the thread that emitted a line: the main loop still
// takes a stop, and capture ends when it is asked to. A line that finds the
// queue empty and room enough for it is written at once, without waking the
// writer: what a host that reads does ten times a second (LEVEL).
// Diagnostics are never waited for at all (DiagWriter).
#include "events/output.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

namespace orvane {

namespace {

// LEVEL lines a host that does not read may leave waiting; beyond this new
// ones are dropped. Every other line is kept: there are few of them.
constexpr size_t kMaxWaitingLevels = 64;

std::atomic<bool> gateTaken{false};

bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

bool isValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) ++i;  // the common case, without a call
    else if (!decodeUtf8(text, i)) return false;
  }
  return true;
}

// A line break inside a line would let a path (or any text we pass on) forge
// a line of its own, which a host could read as terminal: CR and LF are
// written as the two characters \r and \n. A byte that is no part of valid
// UTF-8 (a path in another encoding) would fail a host that decodes what it
// reads: it is written as \x and its two hex digits.
bool needsEscape(std::string_view text) { return hasLineBreak(text) || !isValidUtf8(text); }

std::string escaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size();) {
    const size_t begin = i;
    if (decodeUtf8(text, i)) {
      if (text[begin] == '\n') result += "\\n";
      else if (text[begin] == '\r') result += "\\r";
      else result.append(text, begin, i - begin);
      continue;
    }
    const auto byte = static_cast<unsigned char>(text[i++]);
    result += "\\x";
    result += kHex[byte >> 4];
    result += kHex[byte & 0xF];
  }
  return result;
}

// Writes all of `text` to `fd`, waiting for room also when the host made
// the pipe non-blocking; a host that closed its end loses the rest.
void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd room{fd, POLLOUT, 0};
      ::poll(&room, 1, -1);
      continue;
    }
    if (written <= 0) return;
    text.remove_prefix(static_cast<size_t>(written));
  }
}

bool isLevel(const std::string& line) { return line.starts_with("LEVEL "); }

// Whether writing `bytes` to standard output returns at once: it is a
// regular file, or a pipe at most half full, so that a line from another
// writer of the same pipe meanwhile (our own standard error) cannot fill it.
bool writesAtOnce(size_t bytes) {
  static const int pipeBytes = [] {
    struct stat status{};
    if (::fstat(STDOUT_FILENO, &status) != 0) return 0;
    if (S_ISREG(status.st_mode)) return -1;
    return S_ISFIFO(status.st_mode) ? std::max(0, ::fcntl(STDOUT_FILENO, F_GETPIPE_SZ)) : 0;
  }();
  if (pipeBytes < 0) return true;
  int queued = 0;
  return pipeBytes > 0 && ::ioctl(STDOUT_FILENO, FIONREAD, &queued) == 0 &&
         static_cast<size_t>(queued) + bytes <= static_cast<size_t>(pipeBytes) / 2;
}

constexpr size_t kWriterStackBytes = 64 * 1024;

// The lines for standard output, in order, and the thread that writes them.
// Written lines are removed by the next push, so that the writer never frees
// (nor allocates) and the lines it reads stay where they are meanwhile.
class LineQueue {
 public:
  void push(std::string line, bool terminal) {
    std::unique_lock lock(mutex_);
    if (closed_) return;  // nothing follows the terminal line
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(written_));
    written_ = 0;
    if (isLevel(line) && levelsWaiting_ >= kMaxWaitingLevels) return;
    closed_ = terminal;
    if (written_ == lines_.size() && writesAtOnce(line.size())) return writeAll(STDOUT_FILENO, line);
    levelsWaiting_ += isLevel(line) ? 1 : 0;
    lines_.push_back(std::move(line));
    if (!startWriter()) return writeWaiting(lock);
    wake_.notify_one();
  }

  // Returns once every queued line is out (or standard output is gone).
  void waitDrained() {
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [this] { return written_ == lines_.size(); });
  }

 private:
  // A writer that cannot be started (no memory for a thread) leaves the
  // lines to the caller's thread, as before the queue existed. Its stack is
  // small and it never allocates, so it costs no malloc arena of its own:
  // address space is what a run under a limit (ulimit -v) runs short of first.
  bool startWriter() {
    if (writerState_ == Writer::none) {
      pthread_attr_t attributes;
      pthread_attr_init(&attributes);
      pthread_attr_setstacksize(&attributes, kWriterStackBytes);
      pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
      pthread_t thread;
      const auto body = [](void* queue) -> void* { static_cast<LineQueue*>(queue)->run(); };
      writerState_ = pthread_create(&thread, &attributes, body, this) == 0 ? Writer::running : Writer::failed;
      pthread_attr_destroy(&attributes);
    }
    return writerState_ == Writer::running;
  }

  // The writer thread.
  [[noreturn]] void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return written_ < lines_.size(); });
      writeWaiting(lock);
    }
  }

  // Whole lines, one write each, in order.
  void writeWaiting(std::unique_lock<std::mutex>& lock) {
    while (written_ < lines_.size()) {
      const std::string& line = lines_[written_];
      lock.unlock();
      writeAll(STDOUT_FILENO, line);
      lock.lock();
      levelsWaiting_ -= isLevel(line) ? 1 : 0;
      ++written_;
    }
    drained_.notify_all();
  }

  enum class Writer { none, running, failed };
  std::mutex mutex_;
  std::condition_variable wake_, drained_;
  std::deque<std::string> lines_;
  size_t written_ = 0;  // lines at the front already written
  size_t levelsWaiting_ = 0;
  bool closed_ = false;
  Writer writerState_ = Writer::none;
};

// Never destroyed: the process leaves through _exit while the writer runs.
LineQueue& lineQueue() {
  static auto* queue = new LineQueue;
  return *queue;
}

// Diagnostics are for people reading a log: a host that pipes our standard
// error and never reads it must not hold the thread that reports (the main
// loop, the stop). Lines go out without waiting; what does not fit waits in
// a bounded backlog for the next line, and beyond that is counted and
// dropped, the count said once there is room again. A pipe is written
// through a descriptor of our own opened non-blocking (the host's, shared
// with others, stays as it is); a socket with MSG_DONTWAIT; a file or a
// terminal as before.
class DiagWriter {
 public:
  void write(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (pending_.size() + line.size() > kMaxPendingBytes) {
      ++dropped_;
    } else {
      if (dropped_ > 0 && pending_.empty()) pending_ = droppedNote();
      pending_ += line;
    }
    flush();
  }

 private:
  static constexpr size_t kMaxPendingBytes = 64 * 1024;

  enum class Kind { unknown, blocking, pipe, socket };

  std::string droppedNote() {
    std::string note(kDiagPrefix);
    note += std::to_string(dropped_) + " diagnostics dropped: standard error was not read\n";
    dropped_ = 0;
    return note;
  }

  // Looks at standard error again whenever it is another file than last
  // time (a test capturing it, a host's dup2).
  void open() {
    struct stat info {};
    if (fstat(STDERR_FILENO, &info) != 0) info = {};
    if (kind_ != Kind::unknown && info.st_dev == device_ && info.st_ino == inode_) return;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    kind_ = S_ISSOCK(info.st_mode) ? Kind::socket : Kind::blocking;
    if (!S_ISFIFO(info.st_mode)) return;
    fd_ = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    kind_ = fd_ >= 0 ? Kind::pipe : Kind::blocking;
  }

  ssize_t writeSome() {
    if (kind_ == Kind::socket) {
      return ::send(STDERR_FILENO, pending_.data(), pending_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    return ::write(kind_ == Kind::pipe ? fd_ : STDERR_FILENO, pending_.data(), pending_.size());
  }

  void flush() {
    open();
    while (!pending_.empty()) {
      const ssize_t written = writeSome();
      if (written < 0 && errno == EINTR) continue;
      if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (written <= 0) return pending_.clear();  // gone: nobody will read these
      pending_.erase(0, static_cast<size_t>(written));
    }
  }

  std::mutex mutex_;
  Kind kind_ = Kind::unknown;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  int fd_ = -1;
  std::string pending_;
  size_t dropped_ = 0;
};

// Never destroyed, like the line queue.
DiagWriter& diagWriter() {
  static auto* writer = new DiagWriter;
  return *writer;
}

// The line feed is added here, on the caller's thread, so the writer allocates nothing.
void queueLine(std::string_view line, bool terminal) {
  std::string whole = needsEscape(line) ? escaped(line) : std::string(line);
  whole.push_back('\n');
  lineQueue().push(std::move(whole), terminal);
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

std::optional<char32_t> decodeUtf8(std::string_view text, size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  size_t extra;
  char32_t cp;
  if (lead < 0x80) { ++i; return lead; }
  if (lead >= 0xC2 && lead <= 0xDF) { extra = 1; cp = lead & 0x1F; }
  else if (lead >= 0xE0 && lead <= 0xEF) { extra = 2; cp = lead & 0x0F; }
  else if (lead >= 0xF0 && lead <= 0xF4) { extra = 3; cp = lead & 0x07; }
  else return std::nullopt;
  if (i + extra >= text.size()) return std::nullopt;
  for (size_t k = 1; k <= extra; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (c & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  i += extra + 1;
  return cp;
}

std::optional<std::string> whyNotPrintable(std::string_view path) {
  if (hasLineBreak(path)) return "contains a line break";
  if (!isValidUtf8(path)) return "is not valid UTF-8";
  return std::nullopt;
}

void emit(std::string_view line) { queueLine(line, false); }

void diag(std::string_view message) {
  std::string whole;
  whole.reserve(kDiagPrefix.size() + message.size() + 1);
  whole.append(kDiagPrefix).append(needsEscape(message) ? escaped(message) : std::string(message)).push_back('\n');
  diagWriter().write(whole);
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
