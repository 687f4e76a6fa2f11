// Recorder construction.
#include "recorder/recorder.h"

#include "platform/identity.h"

namespace orvane {

namespace {
std::string queueLabel(const char* suffix) { return std::string(kBundleIdentifier) + suffix; }
}  // namespace

Recorder::Recorder(std::string outputURL, Mode mode, bool voiceProcessing, bool writeWav, Backend& backend,
                   MainLoop& mainLoop)
    : outputURL(std::move(outputURL)),
      mode(mode),
      voiceProcessing(voiceProcessing),
      writeWav(writeWav),
      paths(this->outputURL),
      backend(backend),
      mainLoop(mainLoop),
      engine(backend.makeAudioEngine()),
      audioQueue(queueLabel(".capture.audio")),
      fsyncQueue(queueLabel(".capture.fsync")),
      engineQueue(queueLabel(".capture.engine")),
      mic("mic", paths.mic, clock, writeFailures),
      system("system", paths.system, clock, writeFailures),
      micWatchdog(mainLoop, mic, micLevel, clock, [this] { return finished.load(); }),
      restarts(mainLoop) {}

Recorder::~Recorder() = default;

}  // namespace orvane
