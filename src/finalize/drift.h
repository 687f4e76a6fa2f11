// Drift at stop: each track's real rate measured against the host clock over
// its active time, corrected copies of the tracks far enough off nominal, and
// the JSON sidecar that keeps the measurement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "finalize/temp_paths.h"
#include "track/timeline.h"

namespace orvane {

struct DriftMeasurement {
  std::optional<double> micRate;
  std::optional<double> systemRate;
  std::optional<double> driftPpm;       // both rates measured
  std::optional<double> driftMsPerMin;  // both rates measured
  int64_t micWindowFrames = 0;
  int64_t systemWindowFrames = 0;
};

// The corrected copies made, by path.
struct DriftCorrection {
  std::optional<std::string> mic;
  std::optional<std::string> system;
};

// Frames over seconds between the first and last stamped buffers; nothing
// over less than 120 s or more than 2000 ppm off `nominal`.
std::optional<double> measuredRate(const TrackTimeline& timeline, double nominal);
DriftMeasurement measureDrift(const TrackTimeline& mic, const TrackTimeline& system);

// The ratio (measured over nominal) a track is corrected by; 1 when it is
// not: unmeasured, or under 5 ppm off.
double correctionRatio(std::optional<double> measuredRate, double nominal);

// A copy of `source` resampled from `measuredRate` to `nominal` at `dst` when
// it is 5 ppm or more off; the path when one was made. Logs what it did.
std::optional<std::string> driftCorrectedTemp(const std::string& source, const std::string& dst,
                                              std::optional<double> measuredRate, double nominal,
                                              const std::string& label);

// Stop completion, after the tracks are closed: measures, corrects both
// tracks side by side and writes the sidecar. Failures fall back to the raw
// tracks. With `inOutput` the corrections are made by whoever writes the
// output (the finisher): no copy is written, but the lines and the sidecar
// are those of the copies it stands for.
DriftCorrection applyDriftCompensation(const TempPaths& paths, const TrackTimeline& mic,
                                       const TrackTimeline& system, bool inOutput = false);

}  // namespace orvane
