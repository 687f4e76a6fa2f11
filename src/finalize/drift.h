// Drift at stop: each track's real rate measured against the host clock over
// its active time, the ratio that corrects each track far enough off nominal
// in the output, and the JSON sidecar that keeps the measurement.
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

// What the stop corrects each track by: measured rate over nominal, 1 for none.
struct DriftCorrection {
  double micRatio = 1;
  double systemRatio = 1;
};

// The ratio (measured over nominal) a track is corrected by; 1 when it is
// not: unmeasured, or under 5 ppm off.
double correctionRatio(std::optional<double> measuredRate, double nominal);

// The ratio a track still being recorded is corrected by as it is heard
// live: once its rate is measured, the one the output takes so far; before,
// over at least 30 s, the rate its stamps show, but only when that is 40 ppm
// or more off `nominal`, far enough that noise in the stamps cannot make it
// so. Left alone, a track that far off would lie 4.8 ms from its measured
// place after 120 s; one closer stays as recorded, as the output does.
double provisionalRatio(const TrackTimeline& timeline, double nominal);

// The ratio `source` is corrected by (1: none) when it is 5 ppm or more off
// `nominal`; one line says what is done, or why nothing.
double correctTrack(const std::string& source, std::optional<double> measuredRate, double nominal,
                    const std::string& label);

// Stop completion, after the tracks are closed: measures both tracks, says
// how each is corrected in the output (the finisher's), and writes the sidecar.
DriftCorrection applyDriftCompensation(const TempPaths& paths, const TrackTimeline& mic,
                                       const TrackTimeline& system);

}  // namespace orvane
