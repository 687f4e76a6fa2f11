// TrackTimeline: where a track's active time and its frames meet, the first
// and the last buffer appended with a time stamp, and the start the heads are
// aligned by. Drift is measured and heads are aligned from these plain values.
#pragma once

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

// Both tracks' timelines at one moment.
struct TrackTimelines {
  TrackTimeline mic;
  TrackTimeline system;
};

}  // namespace orvane
