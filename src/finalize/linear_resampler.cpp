// Linear-interpolation resampling over a sliding window of source samples.
#include "finalize/linear_resampler.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/audio/pcm_buffer.h"

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

  // The samples held, for the caller's fast path: valid until the next at() or trimBefore().
  const float* data() const { return samples_.data(); }
  int64_t start() const { return start_; }
  int64_t end() const { return start_ + static_cast<int64_t>(samples_.size()); }
  int64_t lastFrame() const { return last_; }

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

  SampleWindow window(source, sourceFrames);
  uint32_t filled = 0;
  int64_t i = 0;
  while (i < outputFrames) {
    // One output buffer's worth. Frames whose two neighbours are already in
    // the window (nearly all of them) are read straight from it; the rest
    // fetch and clamp through at(), and the window is trimmed at the same
    // frames as before, so every sample comes out the same.
    const int64_t blockEnd = std::min<int64_t>(outputFrames, i + (kChunkFrames - filled));
    const float* held = window.data();
    int64_t heldStart = window.start();
    int64_t heldEnd = window.end();
    const int64_t lastFrame = window.lastFrame();
    for (; i < blockEnd; ++i) {
      const double pos = ratio * static_cast<double>(i);
      const auto i0 = static_cast<int64_t>(pos);
      float s0, s1;
      if (i0 >= heldStart && i0 + 1 < heldEnd && i0 + 1 <= lastFrame) {
        s0 = held[i0 - heldStart];
        s1 = held[i0 + 1 - heldStart];
      } else {
        s0 = window.at(i0);
        s1 = window.at(i0 + 1);
        held = window.data();
        heldStart = window.start();
        heldEnd = window.end();
      }
      const auto frac = static_cast<float>(pos - static_cast<double>(i0));
      out[filled++] = s0 + (s1 - s0) * frac;
      if (i0 - heldStart > kTrimThreshold) {
        window.trimBefore(i0);
        held = window.data();
        heldStart = window.start();
        heldEnd = window.end();
      }
    }
    if (filled == kChunkFrames) {
      output->setFrameLength(filled);
      if (Status error = destination.value()->write(*output)) return *error;
      filled = 0;
    }
  }
  if (filled > 0) {
    output->setFrameLength(filled);
    if (Status error = destination.value()->write(*output)) return *error;
  }
  // The header is written at the close: a copy whose close failed is no copy,
  // and the interleave must not read it.
  if (Status error = destination.value()->close()) return *error;
  if (window.readFailed()) return driftError(kReadErrorMidResample, "read error mid-resample");
  return outputFrames;
}

}  // namespace orvane
