// PulseBackend and the factory the process entry uses.
#include "platform/pulse/pulse_backend.h"

#include "platform/pulse/device_rules.h"
#include "platform/pulse/pulse_app_audio.h"
#include "platform/pulse/pulse_record_stream.h"

namespace orvane {

std::unique_ptr<AudioInput> PulseBackend::makeMicrophone() {
  return std::make_unique<PulseRecordStream>(client_, InputRole::microphone);
}

std::unique_ptr<AudioInput> PulseBackend::makeSystemAudio() {
  return std::make_unique<PulseRecordStream>(client_, InputRole::monitor);
}

std::unique_ptr<AudioInput> PulseBackend::makeApplicationAudio(const std::vector<std::string>& names) {
  return std::make_unique<PulseAppAudio>(client_, names);
}

Result<std::vector<std::string>> PulseBackend::monitoredSinks() {
  std::string reason;
  if (client_->connect(kPulseConnectTimeoutSeconds, &reason) != PulseClient::Outcome::connected) {
    return Error{"pulse", 1, "the sound server is not reachable: " + reason};
  }
  const auto server = client_->serverInfo();
  const auto sinks = client_->sinks();
  if (!server || !sinks) return Error{"pulse", 1, "the sound server did not list its sinks"};
  return monitoredSinkNames(*sinks, server->defaultSinkName);
}

std::unique_ptr<Backend> makePulseBackend() { return std::make_unique<PulseBackend>(); }

}  // namespace orvane
