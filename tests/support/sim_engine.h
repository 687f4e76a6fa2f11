// SimEngine: a scripted microphone. It delivers the scenario's signal in the
// device's format, fails starts, and changes configuration and format on
// schedule.
#pragma once

#include <memory>

#include "platform/audio_engine.h"
#include "support/sim_device.h"

namespace orvane::sim {

class SimEngine : public AudioEngine, private ScriptedDevice {
 public:
  explicit SimEngine(const DeviceScript& script);
  ~SimEngine() override { endThread(); }

  AudioFormat inputFormat() override;
  Status setVoiceProcessingEnabled(bool enabled) override;
  // Returns once no tap call is in progress (as do removeTap and stop, unless called from the tap).
  void installTap(uint32_t bufferSize, TapBlock tap) override;
  void removeTap() override;
  void setConfigurationChangeHandler(ConfigurationChangeBlock handler) override;
  void prepare() override {}
  Status start() override;
  void stop() override;
  bool isRunning() const override;

  int successfulStarts() const;

 private:
  uint32_t framesWanted() const override { return running_ && tap_ ? tapFrames_ : 0; }
  std::optional<uint64_t> nextEventAt() const override;
  void deliver(std::unique_lock<std::mutex>& lock) override;
  void fireEvent(std::unique_lock<std::mutex>& lock) override;

  // Guarded by mutex_; the tap itself is called without it.
  AudioFormat format_;
  std::unique_ptr<PcmBuffer> buffer_;  // allocated outside the tap, at each format
  TapBlock tap_;
  uint32_t tapFrames_ = 0;
  ConfigurationChangeBlock changeHandler_;
  size_t nextChange_ = 0;
  int pendingStartFailures_ = 0;
  uint64_t resumeAt_ = 0;  // host time before which a restart delivers nothing
  int starts_ = 0;
};

}  // namespace orvane::sim
