// Backend: the set of capture services a run uses. The product uses the
// sound-server backend; tests substitute a scripted one.
#pragma once

#include <memory>

#include "platform/audio_engine.h"
#include "platform/audio_file.h"
#include "platform/permissions.h"
#include "platform/system_audio_stream.h"

namespace orvane {

class Backend {
 public:
  virtual ~Backend() = default;
  virtual std::unique_ptr<AudioEngine> makeAudioEngine() = 0;
  virtual ScreenCapture& screenCapture() = 0;
  virtual Permissions& permissions() = 0;
  // Creates a temporary track for writing. Tests override it to put a failing
  // or stalled disk behind the recorder.
  virtual Result<std::shared_ptr<AudioFile>> createTrackFile(const std::string& path,
                                                             const AudioSettings& settings) {
    return AudioFile::createForWriting(path, settings);
  }
};

// The sound-server backend (libpulse; works with PulseAudio and PipeWire).
std::unique_ptr<Backend> makePulseBackend();

}  // namespace orvane
