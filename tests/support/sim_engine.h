// SimEngine: a scripted microphone. It delivers the scenario's signal in the
// device's format from its own capture thread, stamps every buffer from the
// frame index on the (possibly virtual) host clock, fails starts, changes
// configuration and format on schedule, and records what was called.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_engine.h"
#include "support/sim_clock.h"
#include "support/sim_scenario.h"
#include "support/sim_signal.h"

namespace orvane::sim {

class SimEngine : public AudioEngine {
 public:
  explicit SimEngine(const MicScript& script);
  ~SimEngine() override;

  AudioFormat inputFormat() override;
  Status setVoiceProcessingEnabled(bool enabled) override;
  void installTap(uint32_t bufferSize, TapBlock tap) override;
  // Returns once no tap call is in progress.
  void removeTap() override;
  void setConfigurationChangeHandler(ConfigurationChangeBlock handler) override;
  void prepare() override;
  Status start() override;
  // Returns once no tap call is in progress (unless called from the tap itself).
  void stop() override;
  bool isRunning() const override;

  // Every call in order: "voiceProcessing", "installTap 4096", "removeTap",
  // "prepare", "start", "start failed", "stop", "configChange".
  std::vector<std::string> calls() const;

 private:
  void deliveryLoop();
  std::optional<uint64_t> nextChangeHostTime() const;
  void deliverBuffer(std::unique_lock<std::mutex>& lock);
  void applyConfigChange(std::unique_lock<std::mutex>& lock);
  void switchFormat(const AudioFormat& format);
  void waitForTapToReturn(std::unique_lock<std::mutex>& lock);

  const MicScript script_;
  const SignalWriter writer_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  // Everything below is guarded by mutex_; the tap itself is called without it.
  std::vector<AudioFormat> formats_;                  // the initial one, then each change's
  std::vector<std::unique_ptr<PcmBuffer>> buffers_;   // one per format, allocated up front
  size_t formatIndex_ = 0;
  TapBlock tap_;
  uint32_t tapBufferFrames_ = 0;
  bool inTap_ = false;
  ConfigurationChangeBlock changeHandler_;
  std::atomic<bool> running_{false};
  uint64_t version_ = 0;  // bumped by every change the capture thread must notice
  bool quit_ = false;
  DeviceTimeline timeline_;
  int64_t nextFrame_ = 0;  // of the current run
  Jitter jitter_;
  std::optional<uint64_t> firstStartHostTime_;
  size_t nextChange_ = 0;
  int pendingStartFailures_ = 0;
  std::vector<std::string> calls_;
  std::thread thread_;
};

}  // namespace orvane::sim
