// The scripted microphone and its capture thread.
#include "support/sim_engine.h"

#include <algorithm>

namespace orvane::sim {

SimEngine::SimEngine(const MicScript& script)
    : script_(script), writer_(script_.signal), jitter_(script.jitterMs, script.seed) {
  switchFormat(script_.format);
  for (const ConfigChangeScript& change : script_.configChanges) {
    if (change.format) switchFormat(*change.format);
  }
  formatIndex_ = 0;
  pendingStartFailures_ = script_.startFailures;
}

SimEngine::~SimEngine() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

// Construction and the capture thread: makes `format` current, allocating its buffer once.
void SimEngine::switchFormat(const AudioFormat& format) {
  auto known = std::find(formats_.begin(), formats_.end(), format);
  if (known == formats_.end()) {
    formats_.push_back(format);
    buffers_.push_back(PcmBuffer::create(format, std::max<uint32_t>(1, script_.bufferFrames)));
    known = formats_.end() - 1;
  }
  formatIndex_ = static_cast<size_t>(known - formats_.begin());
}

AudioFormat SimEngine::inputFormat() {
  std::lock_guard lock(mutex_);
  return formats_[formatIndex_];
}

Status SimEngine::setVoiceProcessingEnabled(bool) {
  std::lock_guard lock(mutex_);
  calls_.push_back("voiceProcessing");
  if (script_.voiceProcessingError) return Error{"sim", 2, *script_.voiceProcessingError};
  return std::nullopt;
}

void SimEngine::waitForTapToReturn(std::unique_lock<std::mutex>& lock) {
  if (std::this_thread::get_id() == thread_.get_id()) return;  // called from the tap: cannot wait for itself
  cv_.wait(lock, [this] { return !inTap_; });
}

void SimEngine::installTap(uint32_t bufferSize, TapBlock tap) {
  std::unique_lock lock(mutex_);
  waitForTapToReturn(lock);
  calls_.push_back("installTap " + std::to_string(bufferSize));
  tap_ = std::move(tap);
  // Larger device reads are split into taps of at most the requested size.
  tapBufferFrames_ = std::min(bufferSize, script_.bufferFrames);
  ++version_;
  cv_.notify_all();
}

void SimEngine::removeTap() {
  std::unique_lock lock(mutex_);
  waitForTapToReturn(lock);
  calls_.push_back("removeTap");
  tap_ = nullptr;
  ++version_;
  cv_.notify_all();
}

void SimEngine::setConfigurationChangeHandler(ConfigurationChangeBlock handler) {
  std::lock_guard lock(mutex_);
  changeHandler_ = std::move(handler);
}

void SimEngine::prepare() {
  std::lock_guard lock(mutex_);
  calls_.push_back("prepare");
}

Status SimEngine::start() {
  std::lock_guard lock(mutex_);
  if (pendingStartFailures_ > 0) {
    --pendingStartFailures_;
    calls_.push_back("start failed");
    return Error{"sim", 1, script_.startErrorMessage};
  }
  calls_.push_back("start");
  if (running_) return std::nullopt;
  const uint64_t now = HostClock::now();
  if (!firstStartHostTime_) firstStartHostTime_ = now;
  timeline_ = DeviceTimeline{now, formats_[formatIndex_].sampleRate, script_.ppm};
  nextFrame_ = 0;
  running_ = true;
  ++version_;
  if (!thread_.joinable()) thread_ = std::thread(&SimEngine::deliveryLoop, this);
  cv_.notify_all();
  return std::nullopt;
}

void SimEngine::stop() {
  std::unique_lock lock(mutex_);
  calls_.push_back("stop");
  running_ = false;
  ++version_;
  cv_.notify_all();
  waitForTapToReturn(lock);
}

bool SimEngine::isRunning() const { return running_; }

std::vector<std::string> SimEngine::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::optional<uint64_t> SimEngine::nextChangeHostTime() const {
  if (!firstStartHostTime_ || nextChange_ >= script_.configChanges.size()) return std::nullopt;
  return *firstStartHostTime_ + HostClock::hostTimeForSeconds(script_.configChanges[nextChange_].atSeconds);
}

// The capture thread: sleeps until the next buffer is complete or the next
// configuration change is due, whichever comes first. A thread that fell
// behind delivers back to back until it has caught up, as a real device does.
void SimEngine::deliveryLoop() {
  std::unique_lock lock(mutex_);
  while (!quit_) {
    const uint64_t seen = version_;
    auto interrupted = [this, seen] { return quit_ || version_ != seen; };
    const std::optional<uint64_t> changeAt = nextChangeHostTime();
    std::optional<uint64_t> bufferDue;
    if (running_ && tap_ && tapBufferFrames_ > 0 && script_.signal.kind != SignalKind::none) {
      bufferDue = timeline_.hostTimeOfFrame(nextFrame_ + tapBufferFrames_);
    }
    if (!changeAt && !bufferDue) {
      cv_.wait(lock, interrupted);
      continue;
    }
    const bool changeFirst = changeAt && (!bufferDue || *changeAt <= *bufferDue);
    if (!waitForHostTime(cv_, lock, changeFirst ? *changeAt : *bufferDue, interrupted)) continue;
    if (changeFirst) applyConfigChange(lock);
    else deliverBuffer(lock);
  }
}

void SimEngine::deliverBuffer(std::unique_lock<std::mutex>& lock) {
  PcmBuffer* buffer = buffers_[formatIndex_].get();
  if (!buffer) return;
  const int64_t first = nextFrame_;
  writer_.fill(*buffer, tapBufferFrames_, first, timeline_);
  const auto stamp = static_cast<int64_t>(timeline_.hostTimeOfFrame(first)) + jitter_.next();
  const AudioTime when{static_cast<uint64_t>(std::max<int64_t>(stamp, 0)), !script_.noTimestamps};
  nextFrame_ += tapBufferFrames_;
  inTap_ = true;
  lock.unlock();
  // removeTap and installTap wait for inTap_ to clear, so tap_ stays put during the call.
  tap_(*buffer, when);
  lock.lock();
  inTap_ = false;
  cv_.notify_all();
}

void SimEngine::applyConfigChange(std::unique_lock<std::mutex>& lock) {
  const ConfigChangeScript& change = script_.configChanges[nextChange_++];
  calls_.push_back("configChange");
  if (change.format) {
    // A new run from the frame we got to, at the new rate.
    const uint64_t here = timeline_.hostTimeOfFrame(nextFrame_);
    switchFormat(*change.format);
    timeline_ = DeviceTimeline{here, change.format->sampleRate, script_.ppm};
    nextFrame_ = 0;
  }
  pendingStartFailures_ += change.failStarts;
  if (change.stopDelivering) running_ = false;
  ++version_;
  ConfigurationChangeBlock handler = changeHandler_;
  lock.unlock();
  if (handler) handler();
  lock.lock();
}

}  // namespace orvane::sim
