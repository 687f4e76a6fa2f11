// The scripted devices' common thread, time line and signal.
#include "support/sim_device.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "platform/runtime/host_clock.h"
#include "support/sim_clock.h"

namespace orvane::sim {

void storeSample(uint8_t* at, SampleType type, float value) {
  const double v = std::clamp(static_cast<double>(value), -1.0, 1.0);
  switch (type) {
    case SampleType::float32: { const float f = value; std::memcpy(at, &f, sizeof f); return; }
    case SampleType::float64: { const double d = value; std::memcpy(at, &d, sizeof d); return; }
    case SampleType::int16: { const auto s = static_cast<int16_t>(std::lround(v * 32767)); std::memcpy(at, &s, sizeof s); return; }
    case SampleType::int32: { const auto s = static_cast<int32_t>(std::llround(v * 2147483647.0)); std::memcpy(at, &s, sizeof s); return; }
    case SampleType::uint8: *at = static_cast<uint8_t>(std::lround(v * 127 + 128)); return;
  }
}

void ScriptedDevice::beginRun(uint64_t at, double rate) {
  if (!firstRunStart_) firstRunStart_ = at;
  runStart_ = at;
  runRate_ = rate;
  nextFrame_ = 0;
  if (!thread_.joinable()) thread_ = std::thread(&ScriptedDevice::loop, this);
  changed();
}

void ScriptedDevice::changed() {
  ++version_;
  cv_.notify_all();
}

uint64_t ScriptedDevice::hostTimeOfFrame(int64_t frame) const {
  const double rate = runRate_ * (1 + script_.ppm * 1e-6);
  return runStart_ + static_cast<uint64_t>(std::llround(static_cast<double>(frame) / rate * 1e9));
}

std::optional<uint64_t> ScriptedDevice::afterFirstRun(double seconds) const {
  if (!firstRunStart_) return std::nullopt;
  return *firstRunStart_ + HostClock::hostTimeForSeconds(seconds);
}

float ScriptedDevice::sampleAt(int64_t frame) const {
  const auto switchedAt = script_.switchAt >= 0 ? afterFirstRun(script_.switchAt) : std::nullopt;
  const SignalKind kind = switchedAt && hostTimeOfFrame(frame) >= *switchedAt ? script_.switchTo : script_.signal;
  if (kind == SignalKind::clicks || kind == SignalKind::sineClicks) {
    const auto period = static_cast<uint64_t>(std::llround(script_.clickEveryMs * 1e6));
    const auto width = static_cast<uint64_t>(std::llround(script_.clickWidthMs * 1e6));
    if (period > 0 && hostTimeOfFrame(frame) % period < width) return static_cast<float>(script_.amplitude);
  }
  if (kind == SignalKind::sine || kind == SignalKind::sineClicks) {
    // The phase from the frame index alone, so it stays exact over hours.
    const double cycles = script_.frequency * static_cast<double>(frame) / runRate_;
    const double amplitude = kind == SignalKind::sine ? script_.amplitude : script_.amplitude / 5;
    return static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * (cycles - std::floor(cycles))));
  }
  return 0;
}

uint64_t ScriptedDevice::fillNext(PcmBuffer& buffer, uint32_t frames) {
  frames = std::min(frames, buffer.frameCapacity());
  const AudioFormat& format = buffer.format();
  const size_t sampleBytes = bytesPerSample(format.sampleType);
  for (uint32_t i = 0; i < frames; ++i) {
    const float value = sampleAt(nextFrame_ + i);
    for (uint32_t c = 0; c < format.channelCount; ++c) {
      uint8_t* at = format.interleaved ? buffer.plane(0) + i * buffer.planeStride() + c * sampleBytes
                                       : buffer.plane(c) + i * buffer.planeStride();
      storeSample(at, format.sampleType, value);
    }
  }
  buffer.setFrameLength(frames);
  int64_t stamp = static_cast<int64_t>(hostTimeOfFrame(nextFrame_));
  if (script_.jitterMs > 0) {
    std::uniform_real_distribution<double> spread(-script_.jitterMs * 1e6, script_.jitterMs * 1e6);
    stamp += std::llround(spread(jitter_));
  }
  nextFrame_ += frames;
  return static_cast<uint64_t>(std::max<int64_t>(stamp, 0));
}

void ScriptedDevice::waitIdle(std::unique_lock<std::mutex>& lock) {
  if (std::this_thread::get_id() != thread_.get_id()) cv_.wait(lock, [this] { return !busy_; });
}

void ScriptedDevice::endThread() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

// Sleeps until the next buffer is complete or the next event is due, whichever
// comes first. A thread that fell behind delivers back to back until it has
// caught up, as a real device does.
void ScriptedDevice::loop() {
  std::unique_lock lock(mutex_);
  while (!quit_) {
    const uint64_t seen = version_;
    const uint32_t frames = script_.signal == SignalKind::none ? 0 : framesWanted();
    std::optional<uint64_t> due = nextEventAt();
    const bool bufferFirst = frames > 0 && (!due || hostTimeOfFrame(nextFrame_ + frames) < *due);
    if (bufferFirst) due = hostTimeOfFrame(nextFrame_ + frames);
    bool reached = false;
    while (!quit_ && version_ == seen && !reached) {
      const auto wait = due ? SimClock::realWaitUntil(*due) : std::chrono::nanoseconds(std::chrono::hours(1));
      reached = wait.count() == 0;
      if (!reached) cv_.wait_for(lock, wait);
    }
    if (!reached) continue;
    if (bufferFirst) deliver(lock);
    else fireEvent(lock);
  }
}

}  // namespace orvane::sim
