// The scripted backend: permissions, a microphone engine, a system-audio
// service and the disk behind the temporary tracks, driven by a scenario
// (its JSON format is described in sim_scenario.h) instead of a sound server.
#pragma once

#include <memory>
#include <string>

#include "platform/backend.h"
#include "support/sim_engine.h"
#include "support/sim_scenario.h"
#include "support/sim_stream.h"

namespace orvane::sim {

class SimPermissions : public Permissions {
 public:
  explicit SimPermissions(const Scenario& scenario) : scenario_(scenario) {}
  int microphoneStatus() override { return scenario_.microphoneStatus; }
  void requestMicrophone(std::function<void(bool)> answer) override;
  bool preflightScreenCapture() override { return scenario_.screenAllowed; }
  bool requestScreenCapture() override { return scenario_.screenRequestAnswer; }

 private:
  const Scenario& scenario_;
};

class SimBackend : public Backend {
 public:
  // Installs the virtual host clock when the scenario runs faster than real time.
  explicit SimBackend(Scenario scenario);
  ~SimBackend() override;
  std::unique_ptr<AudioEngine> makeAudioEngine() override { return std::make_unique<SimEngine>(scenario_.mic); }
  ScreenCapture& screenCapture() override { return screen_; }
  Permissions& permissions() override { return permissions_; }
  // The two capture temps sit behind the scripted disk; corrected copies and
  // the output are written as the product writes them.
  Result<std::shared_ptr<AudioFile>> createTrackFile(const std::string& path,
                                                     const AudioSettings& settings) override;

 private:
  Scenario scenario_;
  SimPermissions permissions_{scenario_};
  SimScreenCapture screen_{scenario_};
};

}  // namespace orvane::sim
