// Recorder construction and the temporary-track naming rule.
#include "recorder/recorder.h"

#include <filesystem>

namespace orvane {

namespace {
std::string queueLabel(const char* suffix) { return std::string(kBundleIdentifier) + suffix; }
}  // namespace

Recorder::Recorder(std::string outputURL, Mode mode, bool voiceProcessing, bool writeWav,
                   Backend& backend, MainLoop& mainLoop)
    : outputURL(std::move(outputURL)),
      mode(mode),
      voiceProcessing(voiceProcessing),
      writeWav(writeWav),
      backend(backend),
      mainLoop(mainLoop),
      engine(backend.makeAudioEngine()),
      audioQueue(queueLabel(".capture.audio")),
      micWriterQueue(queueLabel(".capture.mic-writer")),
      sysWriterQueue(queueLabel(".capture.sys-writer")),
      fsyncQueue(queueLabel(".capture.fsync")),
      micTempURL(siblingPath(this->outputURL, "mic.caf")),
      systemTempURL(siblingPath(this->outputURL, "sys.caf")) {}

Recorder::~Recorder() = default;

std::string Recorder::siblingPath(const std::string& outputURL, const std::string& extension) {
  std::filesystem::path path(outputURL);
  path.replace_extension();
  return path.string() + "." + extension;
}

}  // namespace orvane
