// The scripted backend: permissions, a microphone engine and a system-audio
// service driven by a scenario instead of a sound server.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/backend.h"

namespace orvane::sim {

struct Scenario {
  int microphoneStatus = 3;          // 0 notDetermined, 1 restricted, 2 denied, 3 authorized
  bool microphoneRequestAnswer = true;
  double microphoneRequestDelaySeconds = 0;
  bool screenAllowed = true;
  bool screenRequestAnswer = true;
  std::vector<std::string> displays{"speakers"};

  static Scenario fromJson(const nlohmann::json& json);
};

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
  explicit SimBackend(Scenario scenario);
  ~SimBackend() override;
  std::unique_ptr<AudioEngine> makeAudioEngine() override;
  ScreenCapture& screenCapture() override { return *screen_; }
  Permissions& permissions() override { return permissions_; }
  const Scenario& scenario() const { return scenario_; }

 private:
  Scenario scenario_;
  SimPermissions permissions_;
  std::unique_ptr<ScreenCapture> screen_;
};

}  // namespace orvane::sim
