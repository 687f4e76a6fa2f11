// PulseBackend: the capture services of a run, all on the sound server. The
// microphone and the system audio share one connection (one context, one
// loop thread).
#pragma once

#include <memory>

#include "platform/backend.h"
#include "platform/pulse/pulse_client.h"
#include "platform/pulse/pulse_permissions.h"

namespace orvane {

class PulseBackend : public Backend {
 public:
  std::unique_ptr<AudioInput> makeMicrophone() override;
  std::unique_ptr<AudioInput> makeSystemAudio() override;
  std::unique_ptr<AudioInput> makeApplicationAudio(const std::vector<std::string>& names) override;
  Result<std::vector<std::string>> monitoredSinks() override;
  Permissions& permissions() override { return permissions_; }

 private:
  PulsePermissions permissions_;
  std::shared_ptr<PulseClient> client_ = std::make_shared<PulseClient>();
};

}  // namespace orvane
