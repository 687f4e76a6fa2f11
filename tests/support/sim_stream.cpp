// The scripted system-audio stream and display service.
#include "support/sim_stream.h"

#include <algorithm>
#include <cstring>

namespace orvane::sim {

namespace {

constexpr int64_t kQueryErrorCode = 4;
constexpr int64_t kStartErrorCode = 5;
constexpr int64_t kStopErrorCode = 3;
// Screen buffers carry full-scale samples, so a recorder that wrote one into
// the system track would show peaks of 1.0 that no scripted signal has.
constexpr float kScreenSampleValue = 1.0f;

// The buffer's frames copied as the stream hands them over: interleaved in one
// block, planar as planes back to back.
std::vector<uint8_t> copyFrames(const PcmBuffer& buffer) {
  const size_t planeBytes = static_cast<size_t>(buffer.frameLength()) * buffer.planeStride();
  std::vector<uint8_t> data(planeBytes * buffer.planeCount());
  for (uint32_t p = 0; p < buffer.planeCount(); ++p) {
    std::memcpy(data.data() + p * planeBytes, buffer.plane(p), planeBytes);
  }
  return data;
}

std::shared_ptr<SampleBuffer> screenBuffer(const AudioFormat& format, uint32_t frames,
                                           std::optional<double> seconds) {
  auto buffer = std::make_shared<SampleBuffer>();
  buffer->format = format;
  buffer->frameCount = frames;
  buffer->data.resize(static_cast<size_t>(frames) * format.bytesPerFrame());
  for (size_t at = 0; at < buffer->data.size(); at += bytesPerSample(format.sampleType)) {
    storeSample(buffer->data.data() + at, format.sampleType, kScreenSampleValue);
  }
  buffer->presentationSeconds = seconds;
  return buffer;
}

}  // namespace

SimStream::SimStream(const SystemScript& script, StreamDelegate& delegate)
    : script_(script),
      delegate_(delegate),
      writer_(script_.signal),
      scratch_(PcmBuffer::create(script_.format, std::max<uint32_t>(1, script_.bufferFrames))),
      jitter_(script.jitterMs, script.seed) {}

SimStream::~SimStream() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

Status SimStream::addOutput(StreamOutputType type, SerialQueue& queue) {
  std::lock_guard lock(mutex_);
  if (type == StreamOutputType::audio) {
    calls_.push_back("addOutput audio");
    audioQueue_ = &queue;
  } else {
    calls_.push_back("addOutput screen");
    screenQueue_ = &queue;
  }
  return std::nullopt;
}

void SimStream::startCapture(Completion completion) {
  std::unique_lock lock(mutex_);
  calls_.push_back("startCapture");
  if (script_.startError) {
    Error error{"sim", kStartErrorCode, *script_.startError};
    std::thread([completion = std::move(completion), error] { completion(error); }).detach();
    return;
  }
  const uint64_t now = HostClock::now();
  timeline_ = DeviceTimeline{now, script_.format.sampleRate, script_.ppm};
  nextFrame_ = 0;
  if (script_.stopWithErrorAtSeconds) {
    stopWithErrorAt_ = now + HostClock::hostTimeForSeconds(*script_.stopWithErrorAtSeconds);
  }
  running_ = true;
  if (!thread_.joinable()) thread_ = std::thread(&SimStream::deliveryLoop, this);
  cv_.notify_all();
  lock.unlock();
  completion(std::nullopt);
}

void SimStream::stopCapture(Completion completion) {
  std::unique_lock lock(mutex_);
  calls_.push_back("stopCapture");
  running_ = false;
  cv_.notify_all();
  if (std::this_thread::get_id() != thread_.get_id()) cv_.wait(lock, [this] { return !posting_; });
  lock.unlock();
  completion(std::nullopt);
}

std::vector<std::string> SimStream::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

// The stream's own thread: posts each buffer once it is complete on the host
// clock, and stops with an error when the script says so.
void SimStream::deliveryLoop() {
  std::unique_lock lock(mutex_);
  while (!quit_) {
    auto interrupted = [this] { return quit_ || !running_; };
    if (!running_) {
      cv_.wait(lock, [this] { return quit_ || running_; });
      continue;
    }
    std::optional<uint64_t> bufferDue;
    if (audioQueue_ && scratch_ && script_.signal.kind != SignalKind::none) {
      bufferDue = timeline_.hostTimeOfFrame(nextFrame_ + script_.bufferFrames);
    }
    const std::optional<uint64_t> errorAt = stopWithErrorAt_;
    if (!bufferDue && !errorAt) {
      cv_.wait(lock, interrupted);
      continue;
    }
    const bool errorFirst = errorAt && (!bufferDue || *errorAt <= *bufferDue);
    if (!waitForHostTime(cv_, lock, errorFirst ? *errorAt : *bufferDue, interrupted)) continue;
    if (errorFirst) stopWithError(lock);
    else postAudio(lock);
  }
}

void SimStream::postAudio(std::unique_lock<std::mutex>& lock) {
  const int64_t first = nextFrame_;
  writer_.fill(*scratch_, script_.bufferFrames, first, timeline_);
  auto buffer = std::make_shared<SampleBuffer>();
  buffer->format = script_.format;
  buffer->frameCount = scratch_->frameLength();
  buffer->data = copyFrames(*scratch_);
  if (!script_.noTimestamps) {
    const auto stamp = static_cast<int64_t>(timeline_.hostTimeOfFrame(first)) + jitter_.next();
    buffer->presentationSeconds = HostClock::secondsForHostTime(static_cast<uint64_t>(std::max<int64_t>(stamp, 0)));
  }
  nextFrame_ += script_.bufferFrames;
  const bool withScreen = screenQueue_ && script_.screenEvery > 0 && ++audioBuffersPosted_ % script_.screenEvery == 0;
  SerialQueue* audioQueue = audioQueue_;
  SerialQueue* screenQueue = screenQueue_;
  posting_ = true;
  lock.unlock();
  StreamDelegate* delegate = &delegate_;
  audioQueue->async([delegate, buffer] { delegate->streamDidOutputSampleBuffer(*buffer, StreamOutputType::audio); });
  if (withScreen) {
    auto screen = screenBuffer(buffer->format, buffer->frameCount, buffer->presentationSeconds);
    screenQueue->async([delegate, screen] { delegate->streamDidOutputSampleBuffer(*screen, StreamOutputType::screen); });
  }
  lock.lock();
  posting_ = false;
  cv_.notify_all();
}

void SimStream::stopWithError(std::unique_lock<std::mutex>& lock) {
  stopWithErrorAt_.reset();
  running_ = false;
  calls_.push_back("stoppedWithError");
  const Error error{"sim", kStopErrorCode, script_.stopErrorMessage};
  lock.unlock();
  delegate_.streamDidStopWithError(error);
  lock.lock();
}

bool SimScreenCapture::preflightAccess() {
  std::lock_guard lock(mutex_);
  calls_.push_back("preflight");
  return preflight_;
}

bool SimScreenCapture::requestAccess() {
  std::lock_guard lock(mutex_);
  calls_.push_back("request");
  return request_;
}

Result<std::vector<Display>> SimScreenCapture::shareableDisplays() {
  std::lock_guard lock(mutex_);
  calls_.push_back("shareableDisplays");
  if (script_.queryFails) return Error{"sim", kQueryErrorCode, "the sound server cannot be queried"};
  std::vector<Display> displays;
  for (const auto& name : displays_) displays.push_back({name, name});
  return displays;
}

std::unique_ptr<SystemAudioStream> SimScreenCapture::makeStream(const Display& display,
                                                                const StreamConfiguration& configuration,
                                                                StreamDelegate& delegate) {
  std::lock_guard lock(mutex_);
  calls_.push_back("makeStream " + display.id);
  lastDisplay_ = display;
  lastConfiguration_ = configuration;
  return std::make_unique<SimStream>(script_, delegate);
}

std::vector<std::string> SimScreenCapture::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::optional<Display> SimScreenCapture::lastDisplay() const {
  std::lock_guard lock(mutex_);
  return lastDisplay_;
}

std::optional<StreamConfiguration> SimScreenCapture::lastConfiguration() const {
  std::lock_guard lock(mutex_);
  return lastConfiguration_;
}

}  // namespace orvane::sim
