// PulseScreenCapture: not built yet; says so instead of recording nothing.
#include "platform/pulse/pulse_screen_capture.h"

#include "platform/pulse/pulse_permissions.h"

namespace orvane {

namespace {
constexpr const char* kNotAvailable = "system audio capture is not available yet";
}

bool PulseScreenCapture::preflightAccess() { return probeSinkWithMonitor(); }

bool PulseScreenCapture::requestAccess() { return probeSinkWithMonitor(); }

Result<std::vector<Display>> PulseScreenCapture::shareableDisplays() {
  return Error{"pulse", 5, kNotAvailable};
}

std::unique_ptr<SystemAudioStream> PulseScreenCapture::makeStream(const Display&, const StreamConfiguration&,
                                                                  StreamDelegate&) {
  return nullptr;
}

}  // namespace orvane
