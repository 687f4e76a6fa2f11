// AudioInput: one record stream on the sound server, a source (the
// microphone) or a sink's monitor (the system audio). Abstract because the
// product records from the sound server (PulseRecordStream) while tests script
// a device.
#pragma once

#include <functional>

#include "platform/audio/audio_format.h"
#include "platform/audio/pcm_buffer.h"
#include "platform/error.h"
#include "platform/runtime/host_clock.h"

namespace orvane {

class AudioInput {
 public:
  // Runs on the input's capture thread for every block, mono at the device's
  // rate (every channel the device delivers, mixed alike), with the host time
  // of its first frame. Real-time rules: no allocation, no I/O, no lock, and
  // never start or stop the input from inside the handler.
  using BlockHandler = std::function<void(const PcmBuffer& block, const AudioTime& stamp)>;
  // Runs on an input thread when the stream was moved, lost, or its device
  // changed: the owner starts it again (off that thread).
  using ChangeHandler = std::function<void()>;
  // Runs on the capture thread before a block of up to `frames` is read:
  // false while the owner has no room for it. An input whose server keeps
  // what is not read yet leaves the block there and asks again shortly.
  using RoomCheck = std::function<bool(uint32_t frames)>;

  virtual ~AudioInput() = default;

  // The blocks' format as a start now would deliver them; sample rate 0 when
  // the server cannot be asked.
  virtual AudioFormat format() = 0;
  // Both handlers stay set across restarts; each replaces the one set before.
  virtual void setBlockHandler(BlockHandler handler) = 0;
  virtual void setChangeHandler(ChangeHandler handler) = 0;
  // Inputs that cannot hold a block back take every one they have.
  virtual void setRoomCheck(RoomCheck) {}

  // Opens the stream on the device its rules choose now (a running one is
  // opened again).
  virtual Status start() = 0;
  // With `untilSeconds` (host seconds), every frame stamped before that moment
  // is delivered first (what the server still holds is read, not dropped);
  // the wait for it is bounded.
  virtual void stop(double untilSeconds = 0) = 0;
  // Any thread: from now on no frame stamped after `untilSeconds` is
  // delivered, while another input's stop(untilSeconds) still waits for its
  // tail; this input's own stop(untilSeconds) follows.
  virtual void cutAt(double /*untilSeconds*/) {}
  virtual bool isRunning() const = 0;
};

}  // namespace orvane
