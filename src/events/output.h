// The two output streams of the helper: event lines on standard output
// (emit, fail) and prefixed diagnostics on standard error (diag), plus the
// process-wide exit gate through which every run ends.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvane {

inline constexpr std::string_view kDiagPrefix = "[orvane-capture] ";

// Exit status of recovery mode when the output holds no frames.
inline constexpr int EXIT_EMPTY_RECOVERY = 3;

// Decodes the code point that begins at text[i] and moves `i` past it;
// nullopt, `i` unmoved, for a malformed, overlong, surrogate or cut sequence.
std::optional<char32_t> decodeUtf8(std::string_view text, size_t& i);

// Why `path` cannot be passed on whole in an event line, after "the output
// path ": a line break would end the line early ("contains a line break"), a
// byte that is no UTF-8 would reach a host as such ("is not valid UTF-8");
// nullopt when it can.
std::optional<std::string> whyNotPrintable(std::string_view path);

// Any thread: writes `line` and a line feed to standard output in one stdio
// call, then flushes. A CR or LF inside `line` is written as \r or \n, so
// one call is always one line, and a byte that is no part of valid UTF-8 as
// \x and two hex digits, so a host always reads valid UTF-8.
void emit(std::string_view line);

// Any thread but the capture side: writes the prefix, `message` (escaped as
// in emit) and a line feed to standard error, never waiting for a
// host that does not read it (the line waits, bounded, or is counted).
void diag(std::string_view message);

// The shortest decimal that reads back as `value`, with at least one digit
// after the point: 48000 gives "48000.0", 0.2 gives "0.2".
std::string shortestDecimal(double value);

// Any thread: writes a terminal line and ends the process with `status`.
// The first caller wins; later callers (and emit from other threads) block
// until the process is gone, so a run ends with exactly one terminal line.
// No static destructor runs: the process leaves through _exit.
[[noreturn]] void finish(std::string_view line, int status);

// "ERROR <code> <message>" through the exit gate, status 2.
[[noreturn]] void fail(std::string_view code, std::string_view message);

// Ends the process through the exit gate after a line written by someone else
// (the permission JSON line), flushing standard output first.
[[noreturn]] void exitProcess(int status);

}  // namespace orvane
