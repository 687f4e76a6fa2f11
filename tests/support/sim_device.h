// ScriptedDevice: what the scripted microphone and system stream share. A
// thread of its own hands out the scenario's signal one buffer at a time, as
// soon as the buffer is complete on the (possibly virtual) host clock, and
// fires the device's next scripted event when it is due. Stamps come from the
// frame index, never from summed steps, so they do not wander over a long run;
// a device `ppm` fast delivers rate × (1 + ppm·1e-6) frames per host second.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "platform/audio/pcm_buffer.h"
#include "support/sim_scenario.h"

namespace orvane::sim {

class ScriptedDevice {
 public:
  explicit ScriptedDevice(const DeviceScript& script) : script_(script), jitter_(script.seed) {}
  virtual ~ScriptedDevice() { endThread(); }

 protected:
  // Called on the device thread with the lock held.
  virtual uint32_t framesWanted() const = 0;  // of the next buffer; 0: none wanted now
  virtual std::optional<uint64_t> nextEventAt() const = 0;
  virtual void deliver(std::unique_lock<std::mutex>& lock) = 0;
  virtual void fireEvent(std::unique_lock<std::mutex>& lock) = 0;

  // With the lock held: a new run of frames from host time `at` at `rate`.
  void beginRun(uint64_t at, double rate);
  // With the lock held: the thread looks again at what it waits for.
  void changed();
  // Fills `buffer` with the run's next `frames` frames; returns the first one's jittered stamp.
  uint64_t fillNext(PcmBuffer& buffer, uint32_t frames);
  uint64_t hostTimeOfFrame(int64_t frame) const;
  // Host time `seconds` after the first run began; nothing before that.
  std::optional<uint64_t> afterFirstRun(double seconds) const;
  // Runs `out` without the lock; waitIdle waits until it has returned.
  template <class Out>
  void callOut(std::unique_lock<std::mutex>& lock, Out out) {
    busy_ = true;
    lock.unlock();
    out();
    lock.lock();
    busy_ = false;
    cv_.notify_all();
  }
  // Returns at once on the device thread itself, which cannot wait for its own call.
  void waitIdle(std::unique_lock<std::mutex>& lock);
  // Subclasses call this first in their destructor, so the thread never sees a half-destroyed device.
  void endThread();

  const DeviceScript& script_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool running_ = false;
  int64_t nextFrame_ = 0;  // of the current run

 private:
  void loop();
  float sampleAt(int64_t frame) const;

  std::optional<uint64_t> firstRunStart_;
  uint64_t runStart_ = 0;
  double runRate_ = 48000;
  std::mt19937_64 jitter_;
  bool busy_ = false;
  bool quit_ = false;
  uint64_t version_ = 0;  // bumped by every change the thread must notice
  std::thread thread_;
};

// Stores one sample in [-1, 1] at `at` in the given sample type.
void storeSample(uint8_t* at, SampleType type, float value);

}  // namespace orvane::sim
