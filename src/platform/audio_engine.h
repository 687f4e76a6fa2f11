// AudioEngine: the microphone input. Abstract because the product records
// from the sound server (PulseAudioEngine) while tests script a device.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/audio/audio_format.h"
#include "platform/error.h"
#include "platform/runtime/host_clock.h"
#include "platform/audio/pcm_buffer.h"

namespace orvane {

class AudioEngine {
 public:
  // Runs on the engine's capture thread for every captured buffer, in the
  // device's own format, with the host time of its first frame.
  // Real-time rules for every tap: no allocation, no I/O, no lock but a slot
  // lock, and never start or stop the engine from inside the tap.
  using TapBlock = std::function<void(const PcmBuffer& buffer, const AudioTime& when)>;
  // Runs on an engine thread when the device or its configuration changed.
  using ConfigurationChangeBlock = std::function<void()>;

  virtual ~AudioEngine() = default;

  // The input's format as it would be delivered to a tap installed now.
  virtual AudioFormat inputFormat() = 0;
  virtual Status setVoiceProcessingEnabled(bool enabled) = 0;
  // At most bufferSize frames per tap call; the tap stays installed across restarts.
  virtual void installTap(uint32_t bufferSize, TapBlock tap) = 0;
  virtual void removeTap() = 0;
  // Replaces any handler set before.
  virtual void setConfigurationChangeHandler(ConfigurationChangeBlock handler) = 0;

  virtual void prepare() = 0;
  virtual Status start() = 0;
  virtual void stop() = 0;
  virtual bool isRunning() const = 0;
};

}  // namespace orvane
