// Span-by-span linear interpolation over a sliding window of source samples.
#include "finalize/span_resampler.h"

#include <algorithm>
#include <cmath>

namespace orvane {
namespace {

constexpr int64_t kMinSpanFrames = 10 * 48000;
constexpr uint32_t kFetchFrames = 8192;
constexpr int64_t kKeptHistory = 8192;

}  // namespace

int64_t resampledLength(int64_t sourceFrames, double ratio) {
  return static_cast<int64_t>(std::round(static_cast<double>(sourceFrames) / ratio));
}

void SpanResampler::setRatio(double ratio) {
  if (!spans_.empty() && position_ - spans_.back().start < kMinSpanFrames) return;
  spans_.push_back({position_, ratio});
}

int64_t SpanResampler::available(int64_t sourceFrames) const {
  if (spans_.empty()) return 0;
  if (length_) return *length_ - position_;
  // Frame i needs source frames floor(R·i) and the one after it; one more
  // frame of margin keeps the rounding of R·i on the safe side.
  const auto last = static_cast<int64_t>(std::floor(static_cast<double>(sourceFrames - 3) / spans_.back().ratio));
  return std::max<int64_t>(0, last - position_);
}

void SpanResampler::end(int64_t sourceFrames, double finalRatio, std::optional<int64_t> from) {
  const int64_t at = std::min(from.value_or(position_), position_);
  while (!spans_.empty() && spans_.back().start >= at) spans_.pop_back();
  if (spans_.empty() || spans_.back().ratio != finalRatio) spans_.push_back({at, finalRatio});
  length_ = sourceFrames < 1 ? 0 : finalRatio == 1.0 ? sourceFrames : resampledLength(sourceFrames, finalRatio);
  lastSource_ = sourceFrames - 1;
}

void SpanResampler::rewind(int64_t frame) {
  position_ = std::clamp<int64_t>(frame, 0, length_.value_or(position_));
  window_.clear();
  windowStart_ = INT64_MAX;  // the next sample moves the source
}

const SpanResampler::Span& SpanResampler::spanAt(int64_t frame) const {
  auto after = std::upper_bound(spans_.begin(), spans_.end(), frame,
                                [](int64_t f, const Span& span) { return f < span.start; });
  return after == spans_.begin() ? spans_.front() : *(after - 1);
}

int64_t SpanResampler::spanEnd(const Span& span) const {
  return &span == &spans_.back() ? INT64_MAX : (&span + 1)->start;
}

// The sample of source frame f, clamped to the source once it has ended; the
// last sample held when the source gives no more. A frame before the window
// (after a rewind) moves the source back to it.
float SpanResampler::sample(int64_t frame) {
  if (lastSource_) frame = std::clamp<int64_t>(frame, 0, std::max<int64_t>(0, *lastSource_));
  if (frame < windowStart_) {
    window_.clear();
    windowStart_ = frame;
    if (!seek_(frame)) lost_ = true;
  }
  while (!lost_ && frame >= windowStart_ + static_cast<int64_t>(window_.size())) {
    const size_t held = window_.size();
    window_.resize(held + kFetchFrames);
    const uint32_t got = fetch_(window_.data() + held, kFetchFrames);
    window_.resize(held + got);
    if (got == 0) return window_.empty() ? 0.0f : window_.back();
  }
  return lost_ ? 0.0f : window_[static_cast<size_t>(frame - windowStart_)];
}

uint32_t SpanResampler::read(float* out, uint32_t frames) {
  if (spans_.empty()) return 0;
  if (length_) frames = static_cast<uint32_t>(std::min<int64_t>(frames, *length_ - position_));
  const int64_t clampFrom = lastSource_.value_or(INT64_MAX);
  uint32_t made = 0;
  while (made < frames && !lost_) {
    const Span& span = spanAt(position_);
    const int64_t until = std::min<int64_t>(position_ + (frames - made), spanEnd(span));
    for (; position_ < until && !lost_; ++made, ++position_) {
      const double pos = span.ratio * static_cast<double>(position_);
      const auto i0 = static_cast<int64_t>(pos);
      const int64_t at = i0 - windowStart_;
      float s0, s1;
      if (at >= 0 && at + 1 < static_cast<int64_t>(window_.size()) && i0 + 1 <= clampFrom) {
        s0 = window_[static_cast<size_t>(at)];  // nearly every frame: both neighbours held
        s1 = window_[static_cast<size_t>(at + 1)];
      } else {
        s0 = sample(i0);
        s1 = sample(i0 + 1);
      }
      out[made] = s0 + (s1 - s0) * static_cast<float>(pos - static_cast<double>(i0));
    }
    // History before the frames still needed goes, a chunk at a time.
    const int64_t needed = static_cast<int64_t>(span.ratio * static_cast<double>(position_)) - kKeptHistory;
    if (!window_.empty() && needed - windowStart_ > 2 * kKeptHistory && needed - windowStart_ < static_cast<int64_t>(window_.size())) {
      window_.erase(window_.begin(), window_.begin() + (needed - windowStart_));
      windowStart_ = needed;
    }
  }
  return lost_ ? 0 : made;
}

std::optional<int64_t> SpanResampler::firstMisplaced(double finalRatio, double tolerance) const {
  for (size_t k = 0; k < spans_.size(); ++k) {
    const int64_t end = k + 1 < spans_.size() ? spans_[k + 1].start : position_;
    if (end <= spans_[k].start) continue;
    // Positions are R·i in every span, so a span is furthest off at its last frame.
    const double off = std::fabs(spans_[k].ratio - finalRatio) * static_cast<double>(end - 1);
    if (off > tolerance) return spans_[k].start;
  }
  return std::nullopt;
}

}  // namespace orvane
