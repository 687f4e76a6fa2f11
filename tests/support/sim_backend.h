// The scripted backend: permissions, the microphone, the system audio and the disk behind the temporary
// tracks, driven by a scenario (sim_scenario.h) instead of a sound server.
#pragma once

#include <thread>

#include "platform/backend.h"
#include "support/sim_scenario.h"

namespace orvane::sim {

// Stores one sample in [-1, 1] at `at` in the given sample type.
void storeSample(uint8_t* at, SampleType type, float value);

// Every access granted, as on a sound server with a microphone and a sink. Each input is a scripted device
// (sim_backend.cpp).
class SimBackend : public Backend, private Permissions {
 public:
  // Puts the whole process on a virtual host clock when the scenario runs faster than real time.
  explicit SimBackend(Scenario scenario);
  ~SimBackend() override;
  std::unique_ptr<AudioInput> makeMicrophone() override;
  std::unique_ptr<AudioInput> makeSystemAudio() override;
  Result<std::vector<std::string>> monitoredSinks() override;
  Permissions& permissions() override { return *this; }
  // The two capture temps sit behind the scripted disk; other files are written as the product writes them.
  Result<std::shared_ptr<AudioFile>> createTrackFile(const std::string& path, const AudioSettings& settings) override;

 private:
  int microphoneStatus() override { return static_cast<int>(MicAuthorization::authorized); }
  void requestMicrophone(std::function<void(bool)> answer) override { std::thread(answer, true).detach(); }
  bool preflightSystemAudio() override { return true; }
  bool requestSystemAudio() override { return true; }

  Scenario scenario_;
};

}  // namespace orvane::sim
