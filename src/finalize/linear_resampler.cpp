// Linear-interpolation resampling over a sliding window of source samples.
#include "finalize/linear_resampler.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/pcm_buffer.h"

namespace orvane {

namespace {

constexpr uint32_t kChunkFrames = 8192;
// Trim once more than this much history lies before the current frame,
// keeping kChunkFrames of it.
constexpr int64_t kTrimThreshold = 16384;

Error driftError(int64_t code, const char* description) { return Error{kDriftErrorDomain, code, description}; }

// The source samples from windowStart on, fetched in chunks as frames are asked for.
class SampleWindow {
 public:
  SampleWindow(AudioFile& source, int64_t sourceFrames)
      : source_(source), last_(sourceFrames - 1), chunk_(PcmBuffer::create(source.processingFormat(), kChunkFrames)) {
    samples_.reserve(3 * kChunkFrames + kTrimThreshold);
  }

  // The sample of source frame f (clamped to the source), or the last sample
  // held once the source is exhausted.
  float at(int64_t f) {
    f = std::clamp<int64_t>(f, 0, last_);
    while (!exhausted_ && f >= start_ + static_cast<int64_t>(samples_.size())) fetch();
    const int64_t index = f - start_;
    if (index >= 0 && index < static_cast<int64_t>(samples_.size())) return samples_[static_cast<size_t>(index)];
    return samples_.empty() ? 0.0f : samples_.back();
  }

  void trimBefore(int64_t frame) {
    const int64_t history = frame - start_;
    if (history <= kTrimThreshold) return;
    const int64_t drop = history - kChunkFrames;
    if (drop > static_cast<int64_t>(samples_.size())) return;
    samples_.erase(samples_.begin(), samples_.begin() + drop);
    start_ += drop;
  }

  bool readFailed() const { return readFailed_; }

 private:
  void fetch() {
    const float* data = chunk_ ? chunk_->floatChannelData(0) : nullptr;
    if (!data) {
      exhausted_ = true;
      return;
    }
    if (source_.read(*chunk_, kChunkFrames)) {
      readFailed_ = true;
      chunk_->setFrameLength(0);
    }
    if (chunk_->frameLength() == 0) {
      exhausted_ = true;
      return;
    }
    samples_.insert(samples_.end(), data, data + chunk_->frameLength());
  }

  AudioFile& source_;
  const int64_t last_;
  std::unique_ptr<PcmBuffer> chunk_;
  std::vector<float> samples_;
  int64_t start_ = 0;
  bool exhausted_ = false;
  bool readFailed_ = false;
};

}  // namespace

int64_t resampledLength(int64_t sourceFrames, double ratio) {
  return static_cast<int64_t>(std::round(static_cast<double>(sourceFrames) / ratio));
}

Result<int64_t> resampleLinearMono(AudioFile& source,
                                   const std::function<Result<std::shared_ptr<AudioFile>>()>& createDestination,
                                   double ratio) {
  const int64_t sourceFrames = source.length();
  if (sourceFrames < 2) return driftError(kSourceTooShort, "source too short to resample");
  auto destination = createDestination();
  if (!destination) return destination.error();
  const int64_t outputFrames = resampledLength(sourceFrames, ratio);
  auto output = PcmBuffer::create(source.processingFormat(), kChunkFrames);
  float* out = output ? output->floatChannelData(0) : nullptr;
  if (!out) return driftError(kOutputBufferAllocFailed, "output buffer alloc failed");
  if (outputFrames < 1) return outputFrames;

  SampleWindow window(source, sourceFrames);
  uint32_t filled = 0;
  for (int64_t i = 0; i < outputFrames; ++i) {
    const double pos = ratio * static_cast<double>(i);
    const auto i0 = static_cast<int64_t>(pos);
    const float s0 = window.at(i0);
    const float s1 = window.at(i0 + 1);
    const auto frac = static_cast<float>(pos - static_cast<double>(i0));
    out[filled++] = s0 + (s1 - s0) * frac;
    if (filled == kChunkFrames) {
      output->setFrameLength(filled);
      if (Status error = destination.value()->write(*output)) return *error;
      filled = 0;
    }
    window.trimBefore(i0);
  }
  if (filled > 0) {
    output->setFrameLength(filled);
    if (Status error = destination.value()->write(*output)) return *error;
  }
  if (window.readFailed()) return driftError(kReadErrorMidResample, "read error mid-resample");
  return outputFrames;
}

}  // namespace orvane
