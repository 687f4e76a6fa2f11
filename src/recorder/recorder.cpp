// Recorder construction.
#include "recorder/recorder.h"

#include "platform/identity.h"

namespace orvane {

namespace {
std::string queueLabel(const char* suffix) { return std::string(kBundleIdentifier) + suffix; }
// The engine queue only starts and restarts inputs and tears them down at the
// stop: idle while recording, it holds no thread then.
constexpr size_t kEngineQueueCapacity = 64;
constexpr double kEngineIdleExitSeconds = 2.0;
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
      engine(backend.makeMicrophone()),
      engineQueue(queueLabel(".capture.engine"), kEngineQueueCapacity, kEngineIdleExitSeconds),
      mic("mic", paths.mic, writeFailures, writerBell),
      system("system", paths.system, writeFailures, writerBell),
      writer(writerBell, {&mic, &system}),
      micWatchdog(mainLoop, mic, micLevel, clock, [this] { return finished.load(); }),
      restarts(mainLoop),
      systemRestarts(mainLoop),
      micChanged_(mainLoop.addTrigger([this] { requestEngineRestart(); })),
      systemChanged_(mainLoop.addTrigger([this] { requestSystemAudioRestart(); })),
      levelMeasured_(mainLoop.addTrigger([this] { reportLevel(); })) {}

Recorder::~Recorder() = default;

}  // namespace orvane
