// Backend: the set of capture services a run uses. The product uses the
// sound-server backend; tests substitute a scripted one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/audio_file.h"
#include "platform/audio_input.h"
#include "platform/permissions.h"

namespace orvane {

class Backend {
 public:
  virtual ~Backend() = default;
  // The microphone (a source) and the system audio (the default sink's
  // monitor); both may share one connection to the server.
  virtual std::unique_ptr<AudioInput> makeMicrophone() = 0;
  virtual std::unique_ptr<AudioInput> makeSystemAudio() = 0;
  // The system audio of the named applications alone (each playback stream
  // whose application name or process binary is one of `names`); nothing
  // where the backend cannot tell playback streams apart.
  virtual std::unique_ptr<AudioInput> makeApplicationAudio(const std::vector<std::string>& /*names*/) {
    return nullptr;
  }
  // The sinks that have a monitor, the default first; an error when the
  // server cannot be reached or asked.
  virtual Result<std::vector<std::string>> monitoredSinks() = 0;
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
