// The standard-input control channel: the host writes "pause", "resume" and
// "stop", one per line; end of input stops the recording.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvane {

class Recorder;

enum class ControlCommand { pause, resume, stop };

// Turns the bytes of successive reads into commands. Pipes batch writes as
// they please, so a line may arrive in pieces: an unterminated tail is kept
// for the next read only while it can still become a command word (blanks and
// a prefix of "pause", "resume" or "stop"); a tail which is already a whole
// word is acted on at once (a host may send "stop" without a line feed), and
// any other tail ends with the read. UTF-8 is judged per line: an invalid
// line is ignored without taking its neighbours with it.
class ControlParser {
 public:
  static constexpr size_t kMaxTail = 64;

  std::vector<ControlCommand> feed(std::string_view bytes);

 private:
  void takeLine(std::string_view line, std::vector<ControlCommand>& out) const;
  std::string tail_;
};

// Main thread: reads what standard input holds now and acts on it.
// Returns false once input has ended (the recording was asked to stop).
bool handleControlInput(int fd, ControlParser& parser, Recorder& recorder);

}  // namespace orvane
