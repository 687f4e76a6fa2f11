// The scripted microphone.
#include "support/sim_engine.h"

#include <algorithm>

namespace orvane::sim {

SimEngine::SimEngine(const DeviceScript& script)
    : ScriptedDevice(script),
      format_(script.format),
      buffer_(PcmBuffer::create(format_, std::max<uint32_t>(1, script.bufferFrames))),
      pendingStartFailures_(script.startFailures) {}

AudioFormat SimEngine::inputFormat() {
  std::lock_guard lock(mutex_);
  return format_;
}

Status SimEngine::setVoiceProcessingEnabled(bool) {
  if (!script_.voiceProcessingError.empty()) return Error{"sim", 2, script_.voiceProcessingError};
  return std::nullopt;
}

void SimEngine::installTap(uint32_t bufferSize, TapBlock tap) {
  std::unique_lock lock(mutex_);
  waitIdle(lock);
  tap_ = std::move(tap);
  // Larger device reads are split into taps of at most the requested size.
  tapFrames_ = std::min(bufferSize, script_.bufferFrames);
  changed();
}

void SimEngine::removeTap() {
  std::unique_lock lock(mutex_);
  waitIdle(lock);
  tap_ = nullptr;
  changed();
}

void SimEngine::setConfigurationChangeHandler(ConfigurationChangeBlock handler) {
  std::lock_guard lock(mutex_);
  changeHandler_ = std::move(handler);
}

Status SimEngine::start() {
  std::lock_guard lock(mutex_);
  if (pendingStartFailures_ > 0) {
    --pendingStartFailures_;
    return Error{"sim", 1, script_.startErrorMessage};
  }
  ++starts_;
  if (running_) return std::nullopt;
  running_ = true;
  beginRun(std::max(HostClock::now(), resumeAt_), format_.sampleRate);
  return std::nullopt;
}

void SimEngine::stop() {
  std::unique_lock lock(mutex_);
  running_ = false;
  changed();
  waitIdle(lock);
}

bool SimEngine::isRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

int SimEngine::successfulStarts() const {
  std::lock_guard lock(mutex_);
  return starts_;
}

std::optional<uint64_t> SimEngine::nextEventAt() const {
  if (nextChange_ >= script_.configChanges.size()) return std::nullopt;
  return afterFirstRun(script_.configChanges[nextChange_].at);
}

void SimEngine::deliver(std::unique_lock<std::mutex>& lock) {
  const AudioTime when{fillNext(*buffer_, tapFrames_), !script_.noTimestamps};
  // installTap, removeTap and stop wait for the call to return, so tap_ stays put meanwhile.
  callOut(lock, [&] { tap_(*buffer_, when); });
}

void SimEngine::fireEvent(std::unique_lock<std::mutex>& lock) {
  const ConfigChangeScript& change = script_.configChanges[nextChange_++];
  resumeAt_ = hostTimeOfFrame(nextFrame_) + HostClock::hostTimeForSeconds(change.gapSeconds);
  if (change.format.sampleRate > 0) {
    // A new run from the frame the device got to, at the new rate.
    const uint64_t here = hostTimeOfFrame(nextFrame_);
    format_ = change.format;
    buffer_ = PcmBuffer::create(format_, std::max<uint32_t>(1, script_.bufferFrames));
    beginRun(here, format_.sampleRate);
  }
  pendingStartFailures_ += change.failStarts;
  if (change.stop) running_ = false;
  changed();
  ConfigurationChangeBlock handler = changeHandler_;
  lock.unlock();
  if (handler) handler();
  lock.lock();
}

}  // namespace orvane::sim
