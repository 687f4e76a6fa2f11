// Event lines, diagnostics and the exit gate.
#include "events/output.h"

#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

namespace orvane {

namespace {

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

void writeLine(std::string_view line) {
  if (hasLineBreak(line)) {
    writeLine(escapeBreaks(line));
    return;
  }
  char small[256];
  if (line.size() + 1 <= sizeof small) {
    std::memcpy(small, line.data(), line.size());
    small[line.size()] = '\n';
    std::fwrite(small, 1, line.size() + 1, stdout);
  } else {
    std::string whole(line);
    whole.push_back('\n');
    std::fwrite(whole.data(), 1, whole.size(), stdout);
  }
  std::fflush(stdout);
}

[[noreturn]] void parkForever() {
  for (;;) pause();
}

// Takes the gate and keeps standard output locked, so that no other thread can
// add a line after the terminal one.
[[noreturn]] void leaveThroughGate(const std::string_view* line, int status) {
  if (gateTaken.exchange(true)) parkForever();
  flockfile(stdout);
  if (line) writeLine(*line);
  std::fflush(stdout);
  _exit(status);
}

}  // namespace

bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

void emit(std::string_view line) { writeLine(line); }

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
