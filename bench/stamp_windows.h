// The time-stamp benchmarks' measure: the worst error, in ppm of the nominal
// rate, of chunk stamps over any 120 s window, by a least-squares fit of stamp
// against frame index and by the window's first and last stamp.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace orvane {

constexpr double kStampWindowSeconds = 120.0;
constexpr double kStampWindowStepSeconds = 1.0;

struct StampSample {
  int64_t frame;
  double raw;
  double published;
};

struct WorstWindow {
  double fitPpm = 0;
  double endpointPpm = 0;
  int windows = 0;
};

inline WorstWindow worstStampWindows(const std::vector<StampSample>& samples, double rate,
                                     double StampSample::*field) {
  WorstWindow worst;
  if (samples.empty()) return worst;
  const double windowFrames = kStampWindowSeconds * rate;
  size_t begin = 0;
  for (;;) {
    const int64_t first = samples[begin].frame;
    size_t end = begin;
    while (end < samples.size() && static_cast<double>(samples[end].frame - first) <= windowFrames) ++end;
    if (end == samples.size()) break;
    // Least squares of (stamp − first stamp) on (frame − first frame), in local units.
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    const double n = static_cast<double>(end - begin);
    for (size_t i = begin; i < end; ++i) {
      const double x = static_cast<double>(samples[i].frame - first) / rate;
      const double y = samples[i].*field - samples[begin].*field - x;  // residual from nominal
      sx += x; sy += y; sxx += x * x; sxy += x * y;
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    worst.fitPpm = std::max(worst.fitPpm, std::abs(slope) * 1e6);
    const StampSample& last = samples[end - 1];
    const double elapsed = last.*field - samples[begin].*field;
    const double nominal = static_cast<double>(last.frame - first) / rate;
    worst.endpointPpm = std::max(worst.endpointPpm, std::abs(elapsed / nominal - 1) * 1e6);
    ++worst.windows;
    const double next = static_cast<double>(first) + kStampWindowStepSeconds * rate;
    while (begin < samples.size() && static_cast<double>(samples[begin].frame) < next) ++begin;
  }
  return worst;
}

}  // namespace orvane
