// Line splitting, trimming and dispatch of the control channel.
#include "cli/control_channel.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "events/output.h"
#include "platform/error.h"
#include "recorder/recorder.h"

namespace orvane {

namespace {

constexpr size_t kReadChunk = 4096;

// Length of the line break starting at s[i] (LF VT FF CR, U+0085, U+2028,
// U+2029), or 0. CR LF need no special case: the empty piece between them is dropped.
size_t breakLength(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c >= 0x0A && c <= 0x0D) return 1;
  if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) return 2;
  if (c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80) {
    const auto c2 = static_cast<unsigned char>(s[i + 2]);
    if (c2 == 0xA8 || c2 == 0xA9) return 3;
  }
  return 0;
}

// Unicode space separators (category Zs) and the horizontal tab.
bool isBlank(char32_t cp) {
  return cp == 0x09 || cp == 0x20 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// The line's code points with blanks trimmed at both ends; nullopt when not valid UTF-8.
std::optional<std::u32string> trimmedCodePoints(std::string_view line) {
  std::u32string text;
  for (size_t i = 0; i < line.size();) {
    auto cp = decodeUtf8(line, i);
    if (!cp) return std::nullopt;
    text.push_back(*cp);
  }
  size_t begin = 0, end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::optional<ControlCommand> commandFor(const std::u32string& word) {
  if (word == U"pause") return ControlCommand::pause;
  if (word == U"resume") return ControlCommand::resume;
  if (word == U"stop") return ControlCommand::stop;
  return std::nullopt;
}

// True while `rest` (blanks, then the start of a word) can still grow into a
// command: a character cut in two by the read counts when it may be a blank.
bool mayBecomeCommand(std::string_view rest) {
  if (rest.size() > ControlParser::kMaxTail) return false;
  size_t i = 0;
  while (i < rest.size()) {
    size_t next = i;
    const auto cp = decodeUtf8(rest, next);
    if (!cp) {
      const auto lead = static_cast<unsigned char>(rest[i]);
      return rest.size() - i < 3 && (lead == 0xC2 || lead == 0xE1 || lead == 0xE2 || lead == 0xE3);
    }
    if (!isBlank(*cp)) break;
    i = next;
  }
  const std::string_view word = rest.substr(i);
  for (std::string_view command : {"pause", "resume", "stop"}) {
    if (command.starts_with(word)) return true;
  }
  return false;
}

}  // namespace

void ControlParser::takeLine(std::string_view line, std::vector<ControlCommand>& out) const {
  if (line.empty()) return;
  auto text = trimmedCodePoints(line);
  if (!text) return;
  if (auto command = commandFor(*text)) out.push_back(*command);
}

std::vector<ControlCommand> ControlParser::feed(std::string_view bytes) {
  std::vector<ControlCommand> commands;
  std::string text = std::move(tail_);
  tail_.clear();
  text.append(bytes);
  size_t start = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t len = breakLength(text, i);
    if (len == 0) { ++i; continue; }
    takeLine(std::string_view(text).substr(start, i - start), commands);
    i += len;
    start = i;
  }
  std::string_view rest = std::string_view(text).substr(start);
  if (rest.empty()) return commands;
  const size_t before = commands.size();
  takeLine(rest, commands);
  if (commands.size() > before) return commands;  // a whole word: acted on now, not kept
  // Only the start of a command is worth waiting for: anything else ends
  // here, so that stray bytes cannot swallow the command that follows them.
  if (mayBecomeCommand(rest)) tail_.assign(rest);
  return commands;
}

bool handleControlInput(int fd, ControlParser& parser, Recorder& recorder) {
  int available = 0;
  if (ioctl(fd, FIONREAD, &available) != 0 || available < 1) available = 1;
  std::string bytes;
  char chunk[kReadChunk];
  ssize_t got = 0;
  do {
    got = read(fd, chunk, sizeof chunk);
    if (got > 0) bytes.append(chunk, static_cast<size_t>(got));
  } while (got > 0 && bytes.size() < static_cast<size_t>(available));
  if (got < 0 && bytes.empty()) {
    if (errno == EINTR || errno == EAGAIN) return true;
    diag("standard input failed (" + posixError(errno).description + "); stopping");
  }
  if (bytes.empty()) {
    recorder.stop();
    return false;
  }
  for (ControlCommand command : parser.feed(bytes)) {
    switch (command) {
      case ControlCommand::pause: recorder.pause(); break;
      case ControlCommand::resume: recorder.resume(); break;
      case ControlCommand::stop: recorder.stop(); break;
    }
  }
  return true;
}

}  // namespace orvane
