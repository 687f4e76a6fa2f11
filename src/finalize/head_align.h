// Head alignment: how many frames of the track that started first are written
// on their own before the two tracks run side by side, and the line that says so.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvane {

// Start offsets outside [kMinHeadOffsetSeconds, kMaxHeadOffsetSeconds] (in
// magnitude) are left alone: below, the gap is inaudible; above, the start
// times are more likely wrong than the tracks that far apart.
inline constexpr double kMinHeadOffsetSeconds = 0.001;
inline constexpr double kMaxHeadOffsetSeconds = 5.0;

enum class LeadSource { none, mic, system };

struct HeadAlignment {
  LeadSource source = LeadSource::none;
  int64_t frames = 0;
  std::string diagnostic;  // empty when nothing is to be logged
};

// Both start times are active host seconds of each track's first frame; a
// track that never started gives no alignment and no line.
HeadAlignment planHeadAlignment(std::optional<double> micStartSeconds, std::optional<double> sysStartSeconds,
                                double sampleRate);

}  // namespace orvane
