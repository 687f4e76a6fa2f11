// The scripted system-audio service: permission answers, the displays, and a
// stream that posts the scenario's signal as sample buffers to the queue of
// its audio output, with an occasional screen buffer, and can stop with an
// error on schedule.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial_queue.h"
#include "platform/system_audio_stream.h"
#include "support/sim_clock.h"
#include "support/sim_scenario.h"
#include "support/sim_signal.h"

namespace orvane::sim {

class SimStream : public SystemAudioStream {
 public:
  SimStream(const SystemScript& script, StreamDelegate& delegate);
  ~SimStream() override;

  Status addOutput(StreamOutputType type, SerialQueue& queue) override;
  // Completes with the scripted error on a thread of its own, or at once with success.
  void startCapture(Completion completion) override;
  // Returns once no buffer is being posted (unless called from the delivery thread).
  void stopCapture(Completion completion) override;

  // "addOutput screen", "addOutput audio", "startCapture", "stopCapture", "stoppedWithError".
  std::vector<std::string> calls() const;

 private:
  void deliveryLoop();
  void postAudio(std::unique_lock<std::mutex>& lock);
  void stopWithError(std::unique_lock<std::mutex>& lock);

  const SystemScript& script_;
  StreamDelegate& delegate_;
  const SignalWriter writer_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  SerialQueue* audioQueue_ = nullptr;
  SerialQueue* screenQueue_ = nullptr;
  std::unique_ptr<PcmBuffer> scratch_;  // the device's format, one buffer's worth
  bool running_ = false;
  bool posting_ = false;
  bool quit_ = false;
  DeviceTimeline timeline_;
  int64_t nextFrame_ = 0;
  uint64_t audioBuffersPosted_ = 0;
  std::optional<uint64_t> stopWithErrorAt_;
  Jitter jitter_;
  std::vector<std::string> calls_;
  std::thread thread_;
};

class SimScreenCapture : public ScreenCapture {
 public:
  SimScreenCapture(const SystemScript& script, const bool& preflight, const bool& request,
                   const std::vector<std::string>& displays)
      : script_(script), preflight_(preflight), request_(request), displays_(displays) {}

  bool preflightAccess() override;
  bool requestAccess() override;
  Result<std::vector<Display>> shareableDisplays() override;
  std::unique_ptr<SystemAudioStream> makeStream(const Display& display, const StreamConfiguration& configuration,
                                                StreamDelegate& delegate) override;

  // What the recorder asked for, for tests.
  std::vector<std::string> calls() const;
  std::optional<Display> lastDisplay() const;
  std::optional<StreamConfiguration> lastConfiguration() const;

 private:
  const SystemScript& script_;
  const bool& preflight_;
  const bool& request_;
  const std::vector<std::string>& displays_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::optional<Display> lastDisplay_;
  std::optional<StreamConfiguration> lastConfiguration_;
};

}  // namespace orvane::sim
