// PulseBackend: the capture services of a run, all on the sound server.
#pragma once

#include "platform/backend.h"
#include "platform/pulse/pulse_permissions.h"
#include "platform/pulse/pulse_screen_capture.h"

namespace orvane {

class PulseBackend : public Backend {
 public:
  std::unique_ptr<AudioEngine> makeAudioEngine() override;
  ScreenCapture& screenCapture() override { return screenCapture_; }
  Permissions& permissions() override { return permissions_; }

 private:
  PulsePermissions permissions_;
  PulseScreenCapture screenCapture_;
};

}  // namespace orvane
