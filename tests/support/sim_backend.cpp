// The scripted backend: the virtual clock, the devices, and the scripted disk behind the temporary tracks (a real
// track whose writes can fail or block).
#include "support/sim_backend.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <numbers>
#include <optional>
#include <thread>

#include "platform/pulse/timestamp_model.h"
#include "platform/runtime/host_clock.h"

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

namespace {

// The virtual host clock that lets minutes of scripted audio pass in seconds: now = t0 + (monotonic − t0) × speed,
// for everything that reads HostClock. A plain function pointer is all HostClock accepts, so its state is global.
std::atomic<uint64_t> clockOrigin{0};
std::atomic<double> clockSpeed{1.0};

uint64_t virtualNow() {
  const uint64_t t0 = clockOrigin.load(std::memory_order_relaxed);
  return t0 + static_cast<uint64_t>(static_cast<double>(HostClock::monotonicNow() - t0) * clockSpeed.load());
}

// Real time from now until host time `target` (at least 20 µs: a shorter wait is not worth a wake-up).
std::chrono::nanoseconds realWaitUntil(uint64_t target) {
  const uint64_t now = HostClock::now();
  if (now >= target) return std::chrono::nanoseconds{0};
  const auto real = std::chrono::nanoseconds{static_cast<int64_t>(std::ceil((target - now) / clockSpeed.load()))};
  return std::max(real, std::chrono::nanoseconds{20'000});
}

// A scripted input, the microphone or the system audio: a thread that hands out the signal a buffer at a time as
// soon as it is complete on the (possibly virtual) host clock; it fails starts, and changes configuration and format
// on schedule. Stamps come from the frame index, never from summed steps, so they do not wander.
class SimEngine : public AudioInput {
 public:
  explicit SimEngine(const DeviceScript& script)
      : script_(script), format_(script.format), buffer_(newBuffer()), pendingStartFailures_(script.startFailures) {}
  ~SimEngine() override {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
      cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

  AudioFormat format() override { return locked(format_); }
  // Once no block is in progress (unless from the handler).
  void setBlockHandler(BlockHandler handler) override {
    std::unique_lock lock(mutex_);
    waitIdle(lock);
    handler_ = std::move(handler);
    changed();
  }
  void setChangeHandler(ChangeHandler handler) override {
    std::lock_guard lock(mutex_);
    changeHandler_ = std::move(handler);
  }
  Status start() override {
    std::this_thread::sleep_for(std::chrono::duration<double>(script_.startSeconds));
    std::lock_guard lock(mutex_);
    if (!script_.startError.empty()) return Error{"sim", 5, script_.startError};
    if (pendingStartFailures_ > 0) {
      --pendingStartFailures_;
      return Error{"sim", 1, script_.startErrorMessage};
    }
    if (running_) return std::nullopt;
    running_ = true;
    beginRun(std::max(HostClock::now(), resumeAt_), format_.sampleRate);
    return std::nullopt;
  }
  // Returns once no block is being handed out (unless called from the handler).
  void stop(double) override {
    std::unique_lock lock(mutex_);
    running_ = false;
    changed();
    waitIdle(lock);
  }
  bool isRunning() const override { return locked(running_); }

 private:
  std::unique_ptr<PcmBuffer> newBuffer() const {  // allocated outside the handler, at each format
    return PcmBuffer::create(format_, std::max<uint32_t>(1, script_.bufferFrames));
  }
  void changed() {  // lock held: the thread looks again
    ++version_;
    cv_.notify_all();
  }
  void waitIdle(std::unique_lock<std::mutex>& lock) {
    if (std::this_thread::get_id() != thread_.get_id()) cv_.wait(lock, [this] { return !busy_; });
  }
  template <class T>
  T locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }

  // Lock held: a new run of frames from host time `at` at `rate`.
  void beginRun(uint64_t at, double rate) {
    if (!firstRunStart_) firstRunStart_ = at;
    runStart_ = at;
    runRate_ = rate;
    nextFrame_ = streamFrames_ = 0;
    model_ = TimestampModel(rate);
    if (!thread_.joinable()) thread_ = std::thread(&SimEngine::loop, this);
    changed();
  }

  uint64_t hostTimeOfFrame(int64_t frame) const {
    const double rate = runRate_ * (1 + script_.ppm * 1e-6);
    double seconds = static_cast<double>(frame) / rate;
    if (script_.ppmChangeAt > 0 && seconds > script_.ppmChangeAt) {
      seconds = script_.ppmChangeAt + (static_cast<double>(frame) - script_.ppmChangeAt * rate) /
                                          (runRate_ * (1 + script_.ppmAfter * 1e-6));
    }
    return runStart_ + static_cast<uint64_t>(std::llround(seconds * 1e9));
  }

  std::optional<uint64_t> afterFirstRun(double seconds) const {  // nothing before the first run
    if (!firstRunStart_) return std::nullopt;
    return *firstRunStart_ + HostClock::hostTimeForSeconds(seconds);
  }

  float sampleAt(int64_t frame) const {
    const SignalKind kind = script_.signal;
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

  // Fills `buffer` with the run's next `frames` frames; returns the first one's stamp.
  uint64_t fillNext(PcmBuffer& buffer, uint32_t frames) {
    frames = std::min(frames, buffer.frameCapacity());
    const AudioFormat& format = buffer.format();
    const size_t sampleBytes = bytesPerSample(format.sampleType);
    for (uint32_t i = 0; i < frames; ++i) {
      const float value = sampleAt(nextFrame_ + i);
      for (uint32_t c = 0; c < format.channelCount; ++c) {
        storeSample(format.interleaved ? buffer.plane(0) + i * buffer.planeStride() + c * sampleBytes
                                       : buffer.plane(c) + i * buffer.planeStride(),
                    format.sampleType, value);
      }
    }
    buffer.setFrameLength(frames);
    const uint64_t stamp = hostTimeOfFrame(nextFrame_);
    nextFrame_ += frames;
    if (script_.holes.empty()) return stamp;
    // Raw as a sound server's stamps are: late by a jitter whose floor recurs every few deliveries.
    const double raw = HostClock::secondsForHostTime(stamp) + 0.0001 * static_cast<double>(deliveries_++ % 5);
    const double published = model_.publish(streamFrames_, raw);
    streamFrames_ += frames;
    return HostClock::hostTimeForSeconds(published);
  }

  void skipHole() {  // the next hole, once the device's frames reach it
    if (nextHole_ == script_.holes.size() ||
        hostTimeOfFrame(nextFrame_) < *afterFirstRun(script_.holes[nextHole_].at)) {
      return;
    }
    const HoleScript& hole = script_.holes[nextHole_++];
    const int64_t lost = std::llround(hole.seconds * runRate_);
    nextFrame_ += lost;
    if (hole.reported) streamFrames_ += lost;
  }

  std::optional<uint64_t> nextEventAt() const {
    return nextChange_ < script_.configChanges.size() ? afterFirstRun(script_.configChanges[nextChange_].at)
                                                      : std::nullopt;
  }

  // The device thread, lock held: sleeps until the next buffer is complete or the next event is due, whichever
  // comes first. A thread that fell behind delivers back to back until it has caught up, as a real device does.
  void loop() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
      if (running_) skipHole();
      const uint64_t seen = version_;
      const uint32_t frames = script_.signal == SignalKind::none || !running_ || !handler_ ? 0 : script_.bufferFrames;
      std::optional<uint64_t> due = nextEventAt();
      const bool bufferFirst = frames > 0 && (!due || hostTimeOfFrame(nextFrame_ + frames) < *due);
      if (bufferFirst) due = hostTimeOfFrame(nextFrame_ + frames);
      bool reached = false;
      while (!quit_ && version_ == seen && !reached) {
        const auto wait = due ? realWaitUntil(*due) : std::chrono::nanoseconds(std::chrono::hours(1));
        reached = wait.count() == 0;
        if (!reached) cv_.wait_for(lock, wait);
      }
      if (!reached) continue;
      if (bufferFirst) deliver(lock);
      else fireEvent(lock);
    }
  }

  void deliver(std::unique_lock<std::mutex>& lock) {
    const AudioTime when{fillNext(*buffer_, script_.bufferFrames), true};
    // The handler runs without the lock; setBlockHandler and stop wait for it to return, so handler_ stays put.
    busy_ = true;
    lock.unlock();
    handler_(*buffer_, when);
    lock.lock();
    busy_ = false;
    cv_.notify_all();
  }

  void fireEvent(std::unique_lock<std::mutex>& lock) {
    const ConfigChangeScript& change = script_.configChanges[nextChange_++];
    const uint64_t here = hostTimeOfFrame(nextFrame_);
    resumeAt_ = here + HostClock::hostTimeForSeconds(change.gapSeconds);
    if (change.format.sampleRate > 0) {  // a new run from the frame the device got to, at the new rate
      format_ = change.format;
      buffer_ = newBuffer();
      beginRun(here, format_.sampleRate);
    }
    running_ = false;
    changed();
    ChangeHandler handler = changeHandler_;
    lock.unlock();
    if (handler) handler();
    lock.lock();
  }

  const DeviceScript& script_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool running_ = false, busy_ = false, quit_ = false;
  uint64_t version_ = 0;  // bumped by every change the thread must notice
  std::thread thread_;
  AudioFormat format_;
  std::unique_ptr<PcmBuffer> buffer_;
  BlockHandler handler_;
  ChangeHandler changeHandler_;
  size_t nextChange_ = 0;
  int pendingStartFailures_ = 0;
  uint64_t resumeAt_ = 0;  // host time before which a restart delivers nothing
  std::optional<uint64_t> firstRunStart_;
  uint64_t runStart_ = 0;
  double runRate_ = 48000;
  int64_t nextFrame_ = 0;  // of the current run
  // With holes: the stream's frame index (frames delivered and holes reported) and the stamp model.
  size_t nextHole_ = 0;
  int64_t streamFrames_ = 0, deliveries_ = 0;
  TimestampModel model_{48000};
};

// --- the disk

class SimTrackFile : public AudioFile {
 public:
  SimTrackFile(std::shared_ptr<AudioFile> file, const DiskScript& script) : file_(std::move(file)), script_(script) {}
  const AudioFormat& processingFormat() const override { return file_->processingFormat(); }
  int64_t length() const override { return file_->length(); }
  Status read(PcmBuffer& into, uint32_t frameCount) override { return file_->read(into, frameCount); }
  Status sync() override { return file_->sync(); }
  Status close() override { return file_->close(); }
  // On the writer queue: blocks or fails as scripted.
  Status write(const PcmBuffer& buffer) override {
    const int64_t before = writes_++;
    if (std::ranges::count(script_.stallAfterWrites, before)) {
      std::this_thread::sleep_for(std::chrono::duration<double>(script_.stallSeconds));
    }
    if (script_.failAfterWrites >= 0 && before >= script_.failAfterWrites &&
        (script_.failCount < 0 || before < script_.failAfterWrites + script_.failCount)) {
      return Error{"posix", ENOSPC, "No space left on device"};
    }
    return file_->write(buffer);
  }

 private:
  std::shared_ptr<AudioFile> file_;
  const DiskScript& script_;
  std::atomic<int64_t> writes_{0};
};

}  // namespace

std::unique_ptr<AudioInput> SimBackend::makeMicrophone() { return std::make_unique<SimEngine>(scenario_.mic); }
std::unique_ptr<AudioInput> SimBackend::makeSystemAudio() { return std::make_unique<SimEngine>(scenario_.system); }

Result<std::vector<std::string>> SimBackend::monitoredSinks() {
  if (scenario_.system.queryFails) return Error{"sim", 4, "the sound server cannot be queried"};
  return scenario_.sinks;
}

SimBackend::SimBackend(Scenario scenario) : scenario_(std::move(scenario)) {
  if (scenario_.speed == 1.0) return;
  clockOrigin = HostClock::monotonicNow();
  clockSpeed = scenario_.speed;
  HostClock::setSourceForTesting(&virtualNow);
}

SimBackend::~SimBackend() {
  if (scenario_.speed == 1.0) return;
  HostClock::setSourceForTesting(nullptr);
  clockSpeed = 1.0;
}

Result<std::shared_ptr<AudioFile>> SimBackend::createTrackFile(const std::string& path, const AudioSettings& settings) {
  const bool mic = path.ends_with(".mic.caf");
  if (!mic && !path.ends_with(".sys.caf")) return AudioFile::createForWriting(path, settings);
  const DiskScript& script = mic ? scenario_.disk.mic : scenario_.disk.system;
  if (!script.createError.empty()) return Error{"posix", EACCES, script.createError};
  auto file = AudioFile::createForWriting(path, settings);
  if (!file || (script.failAfterWrites < 0 && script.stallAfterWrites.empty())) return file;
  return std::shared_ptr<AudioFile>(std::make_shared<SimTrackFile>(file.value(), script));
}

}  // namespace orvane::sim
