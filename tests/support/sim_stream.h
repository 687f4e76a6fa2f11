// The scripted system-audio service: permission answers, the displays, and a
// stream that posts the scenario's signal as sample buffers to the queue of
// its audio output, with an occasional screen buffer, and can stop with an
// error on schedule.
#pragma once

#include "platform/system_audio_stream.h"
#include "support/sim_device.h"

namespace orvane::sim {

class SimStream : public SystemAudioStream, private ScriptedDevice {
 public:
  SimStream(const DeviceScript& script, StreamDelegate& delegate);
  ~SimStream() override { endThread(); }

  Status addOutput(StreamOutputType type, SerialQueue& queue) override;
  // Completes with the scripted error on a thread of its own, or at once with success.
  void startCapture(Completion completion) override;
  // Returns once no buffer is being posted (unless called from the stream's thread).
  void stopCapture(Completion completion) override;

 private:
  uint32_t framesWanted() const override { return running_ && audioQueue_ ? script_.bufferFrames : 0; }
  std::optional<uint64_t> nextEventAt() const override { return stopWithErrorAt_; }
  void deliver(std::unique_lock<std::mutex>& lock) override;
  void fireEvent(std::unique_lock<std::mutex>& lock) override;

  StreamDelegate& delegate_;
  std::unique_ptr<PcmBuffer> scratch_;  // the device's format, one buffer's worth
  SerialQueue* audioQueue_ = nullptr;
  SerialQueue* screenQueue_ = nullptr;
  uint64_t audioBuffersPosted_ = 0;
  std::optional<uint64_t> stopWithErrorAt_;
};

class SimScreenCapture : public ScreenCapture {
 public:
  explicit SimScreenCapture(const Scenario& scenario) : scenario_(scenario) {}
  bool preflightAccess() override { return scenario_.screenAllowed; }
  bool requestAccess() override { return scenario_.screenRequestAnswer; }
  Result<std::vector<Display>> shareableDisplays() override;
  std::unique_ptr<SystemAudioStream> makeStream(const Display&, const StreamConfiguration&,
                                                StreamDelegate& delegate) override {
    return std::make_unique<SimStream>(scenario_.system, delegate);
  }

 private:
  const Scenario& scenario_;
};

}  // namespace orvane::sim
