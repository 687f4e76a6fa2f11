// The scripted backend: the services built from one scenario.
#include "support/sim_backend.h"

#include <chrono>
#include <thread>

#include "support/sim_clock.h"
#include "support/sim_disk.h"

namespace orvane::sim {

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

void SimPermissions::requestMicrophone(std::function<void(bool)> answer) {
  const bool granted = scenario_.microphoneRequestAnswer;
  const double delay = scenario_.microphoneRequestDelaySeconds;
  std::thread([answer = std::move(answer), granted, delay] {
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    answer(granted);
  }).detach();
}

SimBackend::SimBackend(Scenario scenario)
    : scenario_(std::move(scenario)),
      permissions_(scenario_),
      screen_(scenario_.system, scenario_.screenAllowed, scenario_.screenRequestAnswer, scenario_.displays) {
  if (scenario_.speed != 1.0) SimClock::install(scenario_.speed);
}

SimBackend::~SimBackend() {
  if (scenario_.speed != 1.0) SimClock::uninstall();
}

std::unique_ptr<AudioEngine> SimBackend::makeAudioEngine() { return std::make_unique<SimEngine>(scenario_.mic); }

// Only the two capture temps sit behind the scripted disk; corrected copies
// and the output are written as the product writes them.
Result<std::shared_ptr<AudioFile>> SimBackend::createTrackFile(const std::string& path,
                                                               const AudioSettings& settings) {
  if (endsWith(path, ".mic.caf")) return createSimTrackFile(path, settings, scenario_.micDisk);
  if (endsWith(path, ".sys.caf")) return createSimTrackFile(path, settings, scenario_.systemDisk);
  return AudioFile::createForWriting(path, settings);
}

}  // namespace orvane::sim
