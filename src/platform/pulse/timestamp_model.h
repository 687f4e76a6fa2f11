// TimestampModel: turns the raw arrival stamps of captured chunks into host
// time stamps whose spacing is good to a fraction of a ppm.
//
// A raw stamp (arrival time minus what is still buffered) is the true capture
// time plus a delay that is never negative and jumps around by milliseconds,
// so rates measured from raw stamps are tens of ppm off. The model keeps the
// lower convex hull of the raw stamps against the frame count and takes its
// slope from the hull edge under the centroid (the line below every stamp that
// hugs them closest): late stamps never pull it, early ones cannot exist.
// Published stamps run from the first stamp of the model along that slope, so
// the first and the last stamp of a recording differ by frames / true rate.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace orvane {

class TimestampModel {
 public:
  // A raw stamp this far above the envelope, for kGapConfirmSeconds of
  // frames, means frames were lost: the model starts again there.
  static constexpr double kGapSeconds = 0.25;
  static constexpr double kGapConfirmSeconds = 3.0;
  // Until the stamps span a few seconds the measured slope is noise: the
  // nominal rate weighs in with span² / (span² + kSlopeTrustSeconds²).
  static constexpr double kSlopeTrustSeconds = 3.0;
  // No real clock is further off than this; a steeper hull edge is noise.
  static constexpr double kMaxRateOffset = 2000e-6;
  static constexpr size_t kHullCapacity = 512;

  explicit TimestampModel(double nominalRate);

  // Forgets everything; the next stamp anchors a new model. Call it when the
  // stream is created, moved, suspended or resumed.
  void reset();

  // Capture thread; allocates nothing. `frameIndex` counts frames since the
  // stream began up to the chunk's first frame; `rawSeconds` is the raw host
  // stamp of that frame. Returns the published host seconds of that frame.
  double publish(int64_t frameIndex, double rawSeconds);

  double nominalRate() const { return nominalRate_; }
  // Measured rate offset of the current model (0 before there is one), e.g. 1e-6 = 1 ppm fast.
  double rateOffset() const;
  // Times the model started again on its own (gaps, frame counts going back).
  int64_t restartCount() const { return restarts_; }

 private:
  // x: seconds of frames at the nominal rate since the anchor; y: raw stamp
  // minus anchor minus x (so slopes are rate errors, a few ppm).
  struct Point {
    double x;
    double y;
  };

  void anchor(int64_t frameIndex, double rawSeconds);
  void addToHull(Point point);
  // Slope (in y per x) and value at x of the hull edge under the centroid.
  void envelopeLine(double& slope, double& valueAtZero) const;
  double publishedSlope() const;

  double nominalRate_;
  bool anchored_ = false;
  int64_t anchorFrame_ = 0;
  double anchorSeconds_ = 0;
  int64_t lastFrame_ = 0;
  std::array<Point, kHullCapacity> hull_{};
  size_t hullSize_ = 0;
  double sumX_ = 0;
  int64_t pointCount_ = 0;
  double lastX_ = 0;
  bool inLateRun_ = false;
  double lateRunStartX_ = 0;
  int64_t restarts_ = 0;
};

}  // namespace orvane
