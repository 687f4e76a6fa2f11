// The extension table: which container, and which library, writes each output.
// A whitelist on purpose: FFmpeg's own "can this muxer hold this codec" query
// answers yes for pairs that then fail when the header is written.
#include "platform/files/file_container.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

namespace orvane {
namespace {

// WAV starts as RF64 and is turned back into plain RIFF at close when it stays
// under 4 GiB, so a long recording still gets a valid header.
constexpr FileContainer kContainers[] = {
    {"wav", nullptr, SF_FORMAT_RF64, nullptr, false},
    {"aif", nullptr, SF_FORMAT_AIFF, nullptr, false},
    {"aiff", nullptr, SF_FORMAT_AIFF, nullptr, false},
    {"caf", nullptr, SF_FORMAT_CAF, nullptr, false},
    {"mov", "mov", 0, "mov", true},
    {"m4a", nullptr, 0, "ipod", true},
    {"mp4", nullptr, 0, "mp4", true},
    {"3gp", nullptr, 0, "3gp", true},
    {"aac", nullptr, 0, "adts", false},
    {"adts", nullptr, 0, "adts", false},
    {"mkv", nullptr, 0, "matroska", false},
    {"mka", nullptr, 0, "matroska", false},
};

constexpr uint32_t kMaxChannels = 8;

std::string describeEncoding(const AudioSettings& settings) {
  if (settings.formatId == AudioFormatId::mpeg4AAC) return "AAC";
  if (settings.formatId != AudioFormatId::linearPCM) return "an unknown encoding";
  return std::to_string(settings.bitDepth) + "-bit " + (settings.isFloat ? "float" : "integer") +
         " linear PCM";
}

}  // namespace

Error audioFileError(AudioFileErrorCode code, const std::string& description) {
  return Error{kAudioFileErrorDomain, code, description};
}

std::string lastExtension(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  if (extension.size() < 2) return {};
  extension.erase(0, 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

const FileContainer* findContainer(const std::string& path) {
  const std::string extension = lastExtension(path);
  for (const auto& container : kContainers) {
    if (extension == container.extension) return &container;
  }
  return nullptr;
}

Status checkEncoding(const std::string& path, const AudioSettings& settings) {
  const std::string extension = lastExtension(path);
  const FileContainer* container = findContainer(path);
  if (!container) {
    return audioFileError(kUnsupportedContainer,
                          extension.empty()
                              ? "cannot choose an audio container for " + path + ": it has no extension"
                              : "unsupported audio file extension \"." + extension + "\" for " + path);
  }
  const double rate = settings.sampleRate;
  if (!(rate >= 1 && rate <= 768000) || rate != std::floor(rate) || settings.channelCount == 0 ||
      settings.channelCount > kMaxChannels) {
    return audioFileError(kUnsupportedSettings, "unsupported audio settings for " + path + ": " +
                                                    std::to_string(rate) + " Hz, " +
                                                    std::to_string(settings.channelCount) + " channels");
  }
  const bool aac = settings.formatId == AudioFormatId::mpeg4AAC;
  const bool pcm16 = settings.formatId == AudioFormatId::linearPCM && settings.bitDepth == 16 && !settings.isFloat;
  if (!aac && !pcm16) {
    return audioFileError(kUnsupportedSettings, "unsupported encoding " + describeEncoding(settings) + " for " +
                                                    path + ": only 16-bit integer linear PCM or AAC");
  }
  if ((aac && !container->aacMuxer) || (pcm16 && !container->holdsLinearPCM())) {
    return audioFileError(kUnsupportedContainer, "a \"." + extension + "\" file cannot hold " +
                                                     describeEncoding(settings) + " (" + path + ")");
  }
  return std::nullopt;
}

}  // namespace orvane
