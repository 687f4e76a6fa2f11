// The scripted backend: permissions, a microphone engine, a system-audio stream and the disk behind the temporary
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

// What the scripted microphone and system stream share: a thread that hands out the signal a buffer at a time as soon
// as it is complete on the (possibly virtual) host clock, and fires the next scripted event when due. Stamps come
// from the frame index, never from summed steps, so they do not wander.
class ScriptedDevice {
 public:
  explicit ScriptedDevice(const DeviceScript& script) : script_(script) {}
  virtual ~ScriptedDevice() { endThread(); }

 protected:
  // Called on the device thread with the lock held.
  virtual uint32_t framesWanted() const = 0;  // of the next buffer; 0: none wanted now
  virtual void deliver(std::unique_lock<std::mutex>& lock) = 0;
  virtual std::optional<uint64_t> nextEventAt() const { return std::nullopt; }
  virtual void fireEvent(std::unique_lock<std::mutex>&) {}

  // With the lock held: a new run of frames from host time `at` at `rate`; the thread looks again.
  void beginRun(uint64_t at, double rate);
  void changed() {
    ++version_;
    cv_.notify_all();
  }
  // Fills `buffer` with the run's next `frames` frames; returns the first one's stamp.
  uint64_t fillNext(PcmBuffer& buffer, uint32_t frames);
  uint64_t hostTimeOfFrame(int64_t frame) const;
  std::optional<uint64_t> afterFirstRun(double seconds) const;  // nothing before the first run
  // Runs `out` without the lock; waitIdle waits until it has returned (not on the device thread).
  template <class Out>
  void callOut(std::unique_lock<std::mutex>& lock, Out out) {
    busy_ = true;
    lock.unlock();
    out();
    lock.lock();
    busy_ = false;
    cv_.notify_all();
  }
  void waitIdle(std::unique_lock<std::mutex>& lock) {
    if (std::this_thread::get_id() != thread_.get_id()) cv_.wait(lock, [this] { return !busy_; });
  }
  // Stops delivering; returns once no buffer is being handed out (unless called from the device's thread).
  void halt() {
    std::unique_lock lock(mutex_);
    running_ = false;
    changed();
    waitIdle(lock);
  }
  // Subclasses call this first in their destructor, so the thread never sees a half-destroyed device.
  void endThread();
  template <class T>
  T locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }

  const DeviceScript& script_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool running_ = false;
  int64_t nextFrame_ = 0;  // of the current run

 private:
  void loop();
  void skipHole();  // the next hole, once the device's frames reach it
  float sampleAt(int64_t frame) const;

  std::optional<uint64_t> firstRunStart_;
  uint64_t runStart_ = 0;
  double runRate_ = 48000;
  bool busy_ = false, quit_ = false;
  uint64_t version_ = 0;  // bumped by every change the thread must notice
  std::thread thread_;
  // With holes: the stream's frame index (frames delivered and holes reported) and the stamp model.
  size_t nextHole_ = 0;
  int64_t streamFrames_ = 0, deliveries_ = 0;
  TimestampModel model_{48000};
};

// The scripted microphone: fails starts, and changes configuration and format on schedule.
class SimEngine : public AudioEngine, private ScriptedDevice {
 public:
  explicit SimEngine(const DeviceScript& script);
  ~SimEngine() override { endThread(); }

  AudioFormat inputFormat() override { return locked(format_); }
  Status setVoiceProcessingEnabled(bool) override { return Status{}; }
  void installTap(uint32_t bufferSize, TapBlock tap) override {  // larger device reads are split
    setTap(std::move(tap), std::min(bufferSize, script_.bufferFrames));
  }
  void removeTap() override { setTap(nullptr, 0); }
  void stop() override { halt(); }
  void setConfigurationChangeHandler(ConfigurationChangeBlock handler) override {
    std::lock_guard lock(mutex_);
    changeHandler_ = std::move(handler);
  }
  void prepare() override {}
  Status start() override;
  bool isRunning() const override { return locked(running_); }
  int successfulStarts() const { return locked(starts_); }

 private:
  uint32_t framesWanted() const override { return running_ && tap_ ? tapFrames_ : 0; }
  void setTap(TapBlock tap, uint32_t frames);  // once no tap call is in progress (unless from the tap)
  std::optional<uint64_t> nextEventAt() const override {
    return nextChange_ < script_.configChanges.size() ? afterFirstRun(script_.configChanges[nextChange_].at)
                                                      : std::nullopt;
  }
  void deliver(std::unique_lock<std::mutex>& lock) override;
  void fireEvent(std::unique_lock<std::mutex>& lock) override;

  AudioFormat format_;
  std::unique_ptr<PcmBuffer> buffer_;  // allocated outside the tap, at each format
  TapBlock tap_;
  uint32_t tapFrames_ = 0;
  ConfigurationChangeBlock changeHandler_;
  size_t nextChange_ = 0;
  int pendingStartFailures_ = 0, starts_ = 0;
  uint64_t resumeAt_ = 0;  // host time before which a restart delivers nothing
};

// The scripted system stream: posts sample buffers to the queue of its audio output.
class SimStream : public SystemAudioStream, private ScriptedDevice {
 public:
  SimStream(const DeviceScript& script, StreamDelegate& delegate);
  ~SimStream() override { endThread(); }
  Status addOutput(StreamOutputType type, SerialQueue& queue) override;
  // Completes with the scripted error on a thread of its own, or at once with success.
  void startCapture(Completion completion) override;
  void stopCapture(Completion completion) override {
    halt();
    completion(std::nullopt);
  }

 private:
  uint32_t framesWanted() const override { return running_ && audioQueue_ ? script_.bufferFrames : 0; }
  void deliver(std::unique_lock<std::mutex>& lock) override;

  StreamDelegate& delegate_;
  std::unique_ptr<PcmBuffer> scratch_;  // the device's format, one buffer's worth
  SerialQueue* audioQueue_ = nullptr;
};

// Every access granted, as on a sound server with a microphone and a sink.
class SimBackend : public Backend, private ScreenCapture, private Permissions {
 public:
  // Puts the whole process on a virtual host clock when the scenario runs faster than real time.
  explicit SimBackend(Scenario scenario);
  ~SimBackend() override;
  std::unique_ptr<AudioEngine> makeAudioEngine() override { return std::make_unique<SimEngine>(scenario_.mic); }
  ScreenCapture& screenCapture() override { return *this; }
  Permissions& permissions() override { return *this; }
  // The two capture temps sit behind the scripted disk; other files are written as the product writes them.
  Result<std::shared_ptr<AudioFile>> createTrackFile(const std::string& path, const AudioSettings& settings) override;

 private:
  bool preflightAccess() override { return true; }
  bool requestAccess() override { return true; }
  Result<std::vector<Display>> shareableDisplays() override;
  std::unique_ptr<SystemAudioStream> makeStream(const Display&, const StreamConfiguration&,
                                                StreamDelegate& delegate) override {
    return std::make_unique<SimStream>(scenario_.system, delegate);
  }
  int microphoneStatus() override { return static_cast<int>(MicAuthorization::authorized); }
  void requestMicrophone(std::function<void(bool)> answer) override { std::thread(answer, true).detach(); }
  bool preflightScreenCapture() override { return true; }
  bool requestScreenCapture() override { return true; }

  Scenario scenario_;
};

}  // namespace orvane::sim
