// The recording options of the command line.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "recorder/recorder.h"

namespace orvane {

struct ParsedArgs {
  std::string outputPath;  // absolute
  Recorder::Mode mode = Recorder::Mode::both;
  bool voiceProcessing = false;
  bool writeWav = false;
  bool finalizeTemps = false;
  bool keepTemps = false;
  std::vector<std::string> systemAudioFrom;  // "--system-audio-from", in order given
  std::string liveAudio;                      // "--live-audio": the host's socket; empty: none
  int liveRate = 16000;                       // "--live-rate": 16000 or 48000
  bool speechTimeline = false;                // "--speech-timeline": NAME.speech.json beside the output
};

// The message of an "ERROR args ..." line.
struct ArgsError {
  std::string message;
};

// args[0] is the program name. Touches nothing on disk.
std::variant<ParsedArgs, ArgsError> parseArgs(const std::vector<std::string>& args);

// Makes a relative path absolute against the working directory, dropping "." components.
std::string absolutePath(const std::string& path);

}  // namespace orvane
