// Scripted permissions, engine and system-audio service.
#include "support/sim_backend.h"

#include <chrono>
#include <thread>

namespace orvane::sim {

namespace {

// An engine with no device behind it yet: it starts and delivers nothing.
class SilentEngine : public AudioEngine {
 public:
  AudioFormat inputFormat() override { return AudioFormat{48000, 1, SampleType::float32, true}; }
  Status setVoiceProcessingEnabled(bool) override { return Error{"sim", 1, "no voice processing"}; }
  void installTap(uint32_t, TapBlock tap) override { tap_ = std::move(tap); }
  void removeTap() override { tap_ = nullptr; }
  void setConfigurationChangeHandler(ConfigurationChangeBlock handler) override { change_ = std::move(handler); }
  void prepare() override {}
  Status start() override { running_ = true; return std::nullopt; }
  void stop() override { running_ = false; }
  bool isRunning() const override { return running_; }

 private:
  TapBlock tap_;
  ConfigurationChangeBlock change_;
  bool running_ = false;
};

// A stream that starts and stops but delivers nothing.
class IdleStream : public SystemAudioStream {
 public:
  Status addOutput(StreamOutputType, SerialQueue&) override { return std::nullopt; }
  void startCapture(Completion completion) override { completion(std::nullopt); }
  void stopCapture(Completion completion) override { completion(std::nullopt); }
};

class SimScreenCapture : public ScreenCapture {
 public:
  explicit SimScreenCapture(const Scenario& scenario) : scenario_(scenario) {}
  bool preflightAccess() override { return scenario_.screenAllowed; }
  bool requestAccess() override { return scenario_.screenRequestAnswer; }
  Result<std::vector<Display>> shareableDisplays() override {
    std::vector<Display> displays;
    for (const auto& name : scenario_.displays) displays.push_back({name, name});
    return displays;
  }
  std::unique_ptr<SystemAudioStream> makeStream(const Display&, const StreamConfiguration&,
                                                StreamDelegate&) override {
    return std::make_unique<IdleStream>();
  }

 private:
  const Scenario& scenario_;
};

}  // namespace

Scenario Scenario::fromJson(const nlohmann::json& json) {
  Scenario s;
  s.microphoneStatus = json.value("microphoneStatus", s.microphoneStatus);
  s.microphoneRequestAnswer = json.value("microphoneRequestAnswer", s.microphoneRequestAnswer);
  s.microphoneRequestDelaySeconds = json.value("microphoneRequestDelaySeconds", s.microphoneRequestDelaySeconds);
  s.screenAllowed = json.value("screenAllowed", s.screenAllowed);
  s.screenRequestAnswer = json.value("screenRequestAnswer", s.screenRequestAnswer);
  s.displays = json.value("displays", s.displays);
  return s;
}

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
      screen_(std::make_unique<SimScreenCapture>(scenario_)) {}

SimBackend::~SimBackend() = default;

std::unique_ptr<AudioEngine> SimBackend::makeAudioEngine() { return std::make_unique<SilentEngine>(); }

}  // namespace orvane::sim
