// TrackTimeline: where a track's active time and its frames meet, the first
// and the last buffer appended with a time stamp, and the start the heads are
// aligned by. Drift is measured and heads are aligned from these plain values.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

namespace orvane {

struct TrackTimeline {
  std::optional<double> startSeconds;
  int64_t startFrames = 0;
  std::optional<double> lastSeconds;
  int64_t lastFrames = 0;
  // startSeconds as it stood once the track held half a second (or at the
  // close, if it never did): the first stamps may still move the start back
  // by a few frames until a second is in, but the heads, and so every frame
  // of the output and of the live audio, are placed once, by this.
  std::optional<double> headSeconds;
};

// A rate is measured over this long at least, and none is believed this far off nominal.
inline constexpr double kRateSpanSeconds = 120.0;
inline constexpr double kImplausiblePpm = 2000.0;

// Frames over seconds between the first and last stamped buffers; nothing
// over less than kRateSpanSeconds or more than kImplausiblePpm off `nominal`.
// The stop corrects drift by it, and a track fills a gap at it.
inline std::optional<double> measuredRate(const TrackTimeline& timeline, double nominal) {
  if (!timeline.startSeconds || !timeline.lastSeconds) return std::nullopt;
  const int64_t frames = timeline.lastFrames - timeline.startFrames;
  const double span = *timeline.lastSeconds - *timeline.startSeconds;
  if (span < kRateSpanSeconds || frames < 1) return std::nullopt;
  const double rate = static_cast<double>(frames) / span;
  if (std::fabs((rate - nominal) / nominal * 1e6) > kImplausiblePpm) return std::nullopt;
  return rate;
}

// Both tracks' timelines at one moment.
struct TrackTimelines {
  TrackTimeline mic;
  TrackTimeline system;
};

}  // namespace orvane
