// Option parsing: whole, case-sensitive words; "--out" takes the next
// argument verbatim, as "--system-audio-from" (repeatable) and "--live-audio"
// do; parsing stops at the first unknown argument.
#include "cli/args.h"

#include <filesystem>
#include <optional>

namespace orvane {

namespace {
constexpr const char* kOutRequired = "--out <path> is required";
constexpr const char* kNameRequired = "--system-audio-from <name> needs a name";
constexpr const char* kSocketRequired = "--live-audio <path> needs a path";
constexpr const char* kLiveRates = "--live-rate takes 16000 or 48000";

// Applies a flag option; false when `word` is not one.
bool applyFlag(const std::string& word, ParsedArgs& parsed) {
  if (word == "--mic-only") parsed.mode = Recorder::Mode::micOnly;
  else if (word == "--system-only") parsed.mode = Recorder::Mode::systemOnly;
  else if (word == "--voice-processing") parsed.voiceProcessing = true;
  else if (word == "--wav") parsed.writeWav = true;
  else if (word == "--keep-temps") parsed.keepTemps = true;
  else if (word == "--speech-timeline") parsed.speechTimeline = true;
  else if (word == "--finalize-temps") parsed.finalizeTemps = parsed.writeWav = true;
  else return false;
  return true;
}
}  // namespace

std::variant<ParsedArgs, ArgsError> parseArgs(const std::vector<std::string>& args) {
  if (args.size() < 2) return ArgsError{kOutRequired};
  ParsedArgs parsed;
  std::optional<std::string> out;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--out") {
      if (i + 1 >= args.size()) return ArgsError{kOutRequired};
      out = args[++i];
    } else if (word == "--system-audio-from") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return ArgsError{kNameRequired};
      parsed.systemAudioFrom.push_back(args[++i]);
    } else if (word == "--live-audio") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return ArgsError{kSocketRequired};
      parsed.liveAudio = args[++i];
    } else if (word == "--live-rate") {
      if (i + 1 >= args.size() || (args[i + 1] != "16000" && args[i + 1] != "48000")) return ArgsError{kLiveRates};
      parsed.liveRate = std::stoi(args[++i]);
    } else if (!applyFlag(word, parsed)) {
      return ArgsError{"unknown argument " + word};
    }
  }
  if (!out || out->empty()) return ArgsError{kOutRequired};
  parsed.outputPath = absolutePath(*out);
  return parsed;
}

std::string absolutePath(const std::string& path) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(path, ec);
  if (ec) full = path;
  std::filesystem::path cleaned;
  for (const auto& part : full) {
    if (part != ".") cleaned /= part;
  }
  // A trailing separator leaves an empty last element; keep the path as given then.
  return cleaned.empty() ? full.string() : cleaned.string();
}

}  // namespace orvane
