// The scripted system-audio stream and display service.
#include "support/sim_stream.h"

#include <algorithm>
#include <cstring>

#include "platform/runtime/host_clock.h"
#include "platform/runtime/serial_queue.h"

namespace orvane::sim {

SimStream::SimStream(const DeviceScript& script, StreamDelegate& delegate)
    : ScriptedDevice(script),
      delegate_(delegate),
      scratch_(PcmBuffer::create(script.format, std::max<uint32_t>(1, script.bufferFrames))) {}

Status SimStream::addOutput(StreamOutputType type, SerialQueue& queue) {
  std::lock_guard lock(mutex_);
  (type == StreamOutputType::audio ? audioQueue_ : screenQueue_) = &queue;
  changed();
  return std::nullopt;
}

void SimStream::startCapture(Completion completion) {
  std::unique_lock lock(mutex_);
  if (!script_.startError.empty()) {
    Error error{"sim", 5, script_.startError};
    std::thread([completion = std::move(completion), error] { completion(error); }).detach();
    return;
  }
  const uint64_t now = HostClock::now();
  if (script_.stopWithErrorAt >= 0) stopWithErrorAt_ = now + HostClock::hostTimeForSeconds(script_.stopWithErrorAt);
  running_ = true;
  beginRun(now, script_.format.sampleRate);
  lock.unlock();
  completion(std::nullopt);
}

void SimStream::stopCapture(Completion completion) {
  std::unique_lock lock(mutex_);
  running_ = false;
  changed();
  waitIdle(lock);
  lock.unlock();
  completion(std::nullopt);
}

// The frames are copied as the stream hands them over: interleaved in one
// block, planar as planes back to back.
void SimStream::deliver(std::unique_lock<std::mutex>& lock) {
  const uint64_t stamp = fillNext(*scratch_, script_.bufferFrames);
  auto buffer = std::make_shared<SampleBuffer>();
  buffer->format = script_.format;
  buffer->frameCount = scratch_->frameLength();
  const size_t planeBytes = static_cast<size_t>(buffer->frameCount) * scratch_->planeStride();
  buffer->data.resize(planeBytes * scratch_->planeCount());
  for (uint32_t p = 0; p < scratch_->planeCount(); ++p) {
    std::memcpy(buffer->data.data() + p * planeBytes, scratch_->plane(p), planeBytes);
  }
  if (!script_.noTimestamps) buffer->presentationSeconds = HostClock::secondsForHostTime(stamp);
  std::shared_ptr<SampleBuffer> screen;
  if (screenQueue_ && script_.screenEvery > 0 && ++audioBuffersPosted_ % script_.screenEvery == 0) {
    // Full-scale samples: a recorder that wrote a screen buffer into the
    // system track would show peaks of 1.0 that no scripted signal has.
    screen = std::make_shared<SampleBuffer>(*buffer);
    for (size_t at = 0; at < screen->data.size(); at += bytesPerSample(script_.format.sampleType)) {
      storeSample(screen->data.data() + at, script_.format.sampleType, 1.0f);
    }
  }
  StreamDelegate* delegate = &delegate_;
  callOut(lock, [&] {
    audioQueue_->async([delegate, buffer] { delegate->streamDidOutputSampleBuffer(*buffer, StreamOutputType::audio); });
    if (screen) {
      screenQueue_->async([delegate, screen] { delegate->streamDidOutputSampleBuffer(*screen, StreamOutputType::screen); });
    }
  });
}

void SimStream::fireEvent(std::unique_lock<std::mutex>& lock) {
  stopWithErrorAt_.reset();
  running_ = false;
  changed();
  lock.unlock();
  delegate_.streamDidStopWithError(Error{"sim", 3, script_.stopErrorMessage});
  lock.lock();
}

Result<std::vector<Display>> SimScreenCapture::shareableDisplays() {
  if (scenario_.system.queryFails) return Error{"sim", 4, "the sound server cannot be queried"};
  std::vector<Display> displays;
  for (const auto& name : scenario_.displays) displays.push_back({name, name});
  return displays;
}

}  // namespace orvane::sim
