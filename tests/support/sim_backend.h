// The scripted backend: permissions, the microphone, the system audio and the disk behind the temporary
// tracks, driven by a scenario (sim_scenario.h) instead of a sound server.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/backend.h"
#include "platform/pulse/timestamp_model.h"
#include "support/sim_scenario.h"

namespace orvane::sim {

// Stores one sample in [-1, 1] at `at` in the given sample type.
void storeSample(uint8_t* at, SampleType type, float value);

// A scripted input, the microphone or the system audio: a thread that hands out the signal a buffer at a time as
// soon as it is complete on the (possibly virtual) host clock; it fails starts, and changes configuration and format
// on schedule. Stamps come from the frame index, never from summed steps, so they do not wander.
class SimEngine : public AudioInput {
 public:
  explicit SimEngine(const DeviceScript& script);
  ~SimEngine() override;

  AudioFormat format() override { return locked(format_); }
  void setBlockHandler(BlockHandler handler) override;  // once no block is in progress (unless from the handler)
  void setChangeHandler(ChangeHandler handler) override {
    std::lock_guard lock(mutex_);
    changeHandler_ = std::move(handler);
  }
  Status start() override;
  // Returns once no block is being handed out (unless called from the handler).
  void stop(double) override;
  bool isRunning() const override { return locked(running_); }
  int successfulStarts() const { return locked(starts_); }

 private:
  // The device thread, lock held.
  void loop();
  void deliver(std::unique_lock<std::mutex>& lock);
  void fireEvent(std::unique_lock<std::mutex>& lock);
  void skipHole();  // the next hole, once the device's frames reach it
  std::optional<uint64_t> nextEventAt() const;
  float sampleAt(int64_t frame) const;
  // Fills `buffer` with the run's next `frames` frames; returns the first one's stamp.
  uint64_t fillNext(PcmBuffer& buffer, uint32_t frames);
  // Lock held: a new run of frames from host time `at` at `rate`; the thread looks again.
  void beginRun(uint64_t at, double rate);
  uint64_t hostTimeOfFrame(int64_t frame) const;
  std::optional<uint64_t> afterFirstRun(double seconds) const;  // nothing before the first run
  void changed() {
    ++version_;
    cv_.notify_all();
  }
  void waitIdle(std::unique_lock<std::mutex>& lock) {
    if (std::this_thread::get_id() != thread_.get_id()) cv_.wait(lock, [this] { return !busy_; });
  }
  template <class T>
  T locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }

  const DeviceScript& script_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool running_ = false, busy_ = false, quit_ = false;
  uint64_t version_ = 0;  // bumped by every change the thread must notice
  std::thread thread_;
  AudioFormat format_;
  std::unique_ptr<PcmBuffer> buffer_;  // allocated outside the handler, at each format
  BlockHandler handler_;
  ChangeHandler changeHandler_;
  size_t nextChange_ = 0;
  int pendingStartFailures_ = 0, starts_ = 0;
  uint64_t resumeAt_ = 0;  // host time before which a restart delivers nothing
  std::optional<uint64_t> firstRunStart_;
  uint64_t runStart_ = 0;
  double runRate_ = 48000;
  int64_t nextFrame_ = 0;  // of the current run
  // With holes: the stream's frame index (frames delivered and holes reported) and the stamp model.
  size_t nextHole_ = 0;
  int64_t streamFrames_ = 0, deliveries_ = 0;
  TimestampModel model_{48000};
};

// Every access granted, as on a sound server with a microphone and a sink.
class SimBackend : public Backend, private Permissions {
 public:
  // Puts the whole process on a virtual host clock when the scenario runs faster than real time.
  explicit SimBackend(Scenario scenario);
  ~SimBackend() override;
  std::unique_ptr<AudioInput> makeMicrophone() override { return std::make_unique<SimEngine>(scenario_.mic); }
  std::unique_ptr<AudioInput> makeSystemAudio() override { return std::make_unique<SimEngine>(scenario_.system); }
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
