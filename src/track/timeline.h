// TrackTimeline: where a track's active time and its frames meet, the first
// and the last buffer appended with a time stamp. Drift is measured and heads
// are aligned from these plain values.
#pragma once

#include <cstdint>
#include <optional>

namespace orvane {

struct TrackTimeline {
  std::optional<double> startSeconds;
  int64_t startFrames = 0;
  std::optional<double> lastSeconds;
  int64_t lastFrames = 0;
};

// Both tracks' timelines at one moment.
struct TrackTimelines {
  TrackTimeline mic;
  TrackTimeline system;
};

}  // namespace orvane
