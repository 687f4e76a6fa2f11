// Microphone set-up: opening the temporary tracks, the tap, the engine start
// with its bounded retry, the temporary-track settings and the conversion of
// any buffer into the track format.
#include <chrono>
#include <thread>

#include "events/output.h"
#include "recorder/recorder.h"

namespace orvane {

namespace {
constexpr int kEngineStartAttempts = 3;
constexpr double kRetryStepSeconds = 0.2;

}  // namespace

// A stop that came meanwhile may already have closed and cleaned up the
// temporary tracks: then nothing is opened, so that none is left behind.
bool Recorder::openTrack(std::shared_ptr<AudioFile>& into, const std::string& path) {
  std::lock_guard lock(tempFilesLock);
  if (stopRequested) return false;
  auto file = backend.createTrackFile(path, monoPCMSettings());
  if (!file) throw file.error();
  into = file.value();
  return true;
}

// Start task.
void Recorder::configureCapture() {
  if (mode != Mode::systemOnly) {
    if (voiceProcessing) {
      if (Status error = engine->setVoiceProcessingEnabled(true)) {
        diag("voice processing unavailable: " + error->description);
      }
    }
    if (!openTrack(micFile, micTempURL)) return;
    const AudioFormat tapFormat = engine->inputFormat();
    diag("mic tap format: " + shortestDecimal(tapFormat.sampleRate) + " Hz, " +
         std::to_string(tapFormat.channelCount) + " ch");
    engine->installTap(kTapBufferFrames, [this](const PcmBuffer& buffer, const AudioTime& when) {
      writeMicAudio(buffer, when);
    });
    micTapInstalled = true;
    if (mode == Mode::micOnly) return;
  }
  openTrack(systemFile, systemTempURL);
}

// Start task: at most three attempts, 0.2 s and then 0.4 s apart.
void Recorder::startEngineIfNeeded() {
  if (mode == Mode::systemOnly) return;
  engine->setConfigurationChangeHandler([this] { handleEngineConfigurationChange(); });
  configChangeObserver = true;
  int failures = 0;
  Status last;
  for (;;) {
    if (failures > 0) {
      const double delay = failures * kRetryStepSeconds;
      diag("engine start retry " + std::to_string(failures) + " after " + shortestDecimal(delay) +
           "s: " + (last ? last->description : "?"));
      std::this_thread::sleep_for(std::chrono::duration<double>(delay));
      if (stopRequested) return;
    }
    engine->prepare();
    last = engine->start();
    if (!last) break;
    if (++failures == kEngineStartAttempts) throw CaptureError{"engine_start", last->description};
  }
  engineStarted = true;
  mainLoop.post([this] { armMicWatchdog(); });
}

AudioSettings Recorder::monoPCMSettings() const { return linearPCM16Settings(monoFormat.sampleRate, 1); }

bool Recorder::fillMonoBuffer(const PcmBuffer& source, PcmBuffer& into,
                              std::unique_ptr<AudioConverter>& converter,
                              std::optional<AudioFormat>& lastInputFormat) {
  const AudioFormat& format = source.format();
  if (!converter || !lastInputFormat || *lastInputFormat != format) {
    converter = AudioConverter::create(format, monoFormat);
    lastInputFormat = format;
    if (!converter) return false;
  }
  into.setFrameLength(0);
  if (converter->convert(source, into)) return false;
  return into.frameLength() > 0;
}

}  // namespace orvane
