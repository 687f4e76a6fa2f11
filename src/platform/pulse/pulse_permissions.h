// PulsePermissions: the microphone and screen permissions as the sound
// server grants them. There is no consent prompt on a Linux sound server: a
// server that lets us connect and has a real capture source has granted the
// microphone, and one that has a sink with a monitor has granted system audio.
#pragma once

#include "platform/permissions.h"

namespace orvane {

// What a probe of the server found, before it becomes a status number.
enum class PulseProbe { noServer, refused, noCaptureSource, hasCaptureSource };

// Status number for the microphone: authorized, denied, or, when no server
// answers, kMicStatusUnknown.
int micStatusForProbe(PulseProbe probe);

class PulsePermissions : public Permissions {
 public:
  // Any thread; each call connects anew (at most a few seconds) and never prompts.
  int microphoneStatus() override;
  // Probes on a new thread and answers there, once.
  void requestMicrophone(std::function<void(bool granted)> answer) override;
  bool preflightSystemAudio() override;
  bool requestSystemAudio() override;
};

// The probes, shared with the screen capture.
PulseProbe probeMicrophone();
bool probeSinkWithMonitor();

}  // namespace orvane
