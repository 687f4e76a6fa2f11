// PulsePermissions: one short-lived connection per question.
#include "platform/pulse/pulse_permissions.h"

#include <system_error>
#include <thread>
#include <utility>

#include "events/output.h"
#include "platform/pulse/pulse_client.h"

namespace orvane {

int micStatusForProbe(PulseProbe probe) {
  switch (probe) {
    case PulseProbe::hasCaptureSource: return static_cast<int>(MicAuthorization::authorized);
    case PulseProbe::refused:
    case PulseProbe::noCaptureSource: return static_cast<int>(MicAuthorization::denied);
    case PulseProbe::noServer: return kMicStatusUnknown;
  }
  return kMicStatusUnknown;
}

PulseProbe probeMicrophone() {
  PulseClient client;
  switch (client.connect(kPulseConnectTimeoutSeconds)) {
    case PulseClient::Outcome::unreachable: return PulseProbe::noServer;
    case PulseClient::Outcome::refused: return PulseProbe::refused;
    case PulseClient::Outcome::connected: break;
  }
  const auto sources = client.sources();
  if (!sources) return PulseProbe::noServer;
  for (const auto& source : *sources) {
    if (!source.isMonitor) return PulseProbe::hasCaptureSource;
  }
  return PulseProbe::noCaptureSource;
}

bool probeSinkWithMonitor() {
  PulseClient client;
  if (client.connect(kPulseConnectTimeoutSeconds) != PulseClient::Outcome::connected) return false;
  const auto sinks = client.sinks();
  if (!sinks) return false;
  for (const auto& sink : *sinks) {
    if (!sink.monitorSourceName.empty()) return true;
  }
  return false;
}

int PulsePermissions::microphoneStatus() {
  const PulseProbe probe = probeMicrophone();
  // Common on desktops, and "not granted" alone would send the user looking for a permission.
  if (probe == PulseProbe::noCaptureSource) {
    diag("the sound server has no microphone, only monitors of its outputs; --system-only records the system "
         "audio alone");
  }
  return micStatusForProbe(probe);
}

void PulsePermissions::requestMicrophone(std::function<void(bool granted)> answer) {
  auto ask = [answer = std::move(answer)] { answer(probeMicrophone() == PulseProbe::hasCaptureSource); };
  try {
    std::thread(ask).detach();
  } catch (const std::system_error&) {
    // No thread to spare: answering on the caller's thread beats never answering.
    ask();
  }
}

bool PulsePermissions::preflightSystemAudio() { return probeSinkWithMonitor(); }

bool PulsePermissions::requestSystemAudio() { return probeSinkWithMonitor(); }

}  // namespace orvane
