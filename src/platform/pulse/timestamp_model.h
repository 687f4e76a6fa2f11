// TimestampModel: turns the raw arrival stamps of captured chunks into host
// time stamps whose spacing is good to a fraction of a ppm.
//
// A raw stamp (arrival time minus what is still buffered) is the true capture
// time plus a delay that is never negative and jumps around by milliseconds,
// so rates measured from raw stamps are tens of ppm off. The model keeps the
// lower convex hull of the raw stamps against the frame count; its edge under
// the centroid (the line below every stamp that hugs them closest) tells which
// stamps lie on the envelope. The lowest stamp of each quarter second of frames that
// lies within kFitBandSeconds of it enters a least-squares fit, whose
// slope is the clock's rate: many envelope points average out what one hull
// edge (two points) cannot.
// Published stamps run from the first stamp of the model along that slope, so
// the first and the last stamp of a recording differ by frames / true rate.
// Frames the server loses without saying so leave the frame count behind the
// clock: every later stamp sits above the envelope by the loss. When even the
// lowest of a second's stamps (from a few arrivals) does, the model moves its
// anchor up by that much and keeps its fit, so the published stamps carry the
// hole and the track can fill it.
// A helper starved of CPU or stopped reads late for seconds: every stamp sits
// high then too, with no frame lost. The server's own stamps tell the two
// apart, as its clock runs on whether we read or not: a step the stamps find
// waits for the server's word once the server has given a baseline, and is
// dropped when the server's stamps kept their place on the line. The server
// stamps in steps of its own push, and its parts are taken a moment apart
// (milliseconds either way): the median of a round of a few stamps is one word.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace orvane {

class TimestampModel {
 public:
  // Stamps all further above the envelope than this, over kStepConfirmSeconds
  // of frames and kStepConfirmArrivals arrivals, mean frames were lost. Well
  // above the jitter's floor (a fraction of a millisecond over a second's
  // arrivals), well under the track's 5 ms gap rule. Late deliveries come one
  // or a few at a time, but every chunk of a late arrival is late (a 2 s block
  // would fill the window alone), hence the count of arrivals.
  static constexpr double kStepSeconds = 0.002;
  static constexpr double kStepConfirmSeconds = 1.0;
  static constexpr int kStepConfirmArrivals = 3;
  // Chunks of one arrival have raw stamps exactly their frames apart.
  static constexpr double kSameArrivalSeconds = 1e-6;
  // A stamp this much earlier than the envelope allows: the model no longer
  // describes the stream and starts again.
  static constexpr double kTooEarlySeconds = 0.25;
  // Until the fit has a few seconds of points its slope is noisy: it is
  // weighed against the nominal rate by their variances, the nominal one
  // being kPriorRateOffset (what clocks are typically off by).
  static constexpr double kPriorRateOffset = 100e-6;
  // No real clock is further off than this; a steeper hull edge is noise.
  static constexpr double kMaxRateOffset = 2000e-6;
  static constexpr size_t kHullCapacity = 512;
  static constexpr double kBinSeconds = 0.25;
  // The least scatter the fit assumes of its points (see publishedSlope).
  static constexpr double kEnvelopeBandSeconds = 0.0005;
  // Bin minima further above the envelope than this stay out of the fit:
  // PipeWire's deliveries wander by a few hundred µs above it for seconds at a
  // time, and half a millisecond let them bend the early fit by ppm.
  static constexpr double kFitBandSeconds = 0.0002;

  explicit TimestampModel(double nominalRate);

  // Forgets everything; the next stamp anchors a new model. Call it when the
  // stream is created, moved, suspended or resumed.
  void reset();

  // Capture thread; allocates nothing. `frameIndex` counts frames since the
  // stream began up to the chunk's first frame; `rawSeconds` is the raw host
  // stamp of that frame. Returns the published host seconds of that frame.
  double publish(int64_t frameIndex, double rawSeconds);

  // The server's stamp of a frame: the host time its own clock says that
  // frame was captured at. A round's median, at its end, is the baseline while
  // the stamps are on the line, or the verdict on a step that waits for it.
  void serverStamp(int64_t frameIndex, double seconds);
  void serverRoundEnd();
  // A step found in the stamps waits for the server's word.
  bool stepAwaitsServer() const { return stepPending_; }
  // No word from the server: the stamps' step holds.
  void serverSilent();

  double nominalRate() const { return nominalRate_; }
  // Measured rate offset of the current model (0 before there is one), e.g. 1e-6 = 1 ppm fast.
  double rateOffset() const;
  // Times the model started again on its own (frame counts going back, stamps far too early).
  int64_t restartCount() const { return restarts_; }
  // Losses found in the stamps, and the seconds the last one lost.
  int64_t stepCount() const { return steps_; }
  // Steps in the stamps that the server's stamps showed to be lateness.
  int64_t lateRunCount() const { return lateRuns_; }
  double lastStepSeconds() const { return lastStep_; }

 private:
  // x: seconds of frames at the nominal rate since the anchor; y: raw stamp
  // minus anchor minus x (so slopes are rate errors, a few ppm).
  struct Point {
    double x;
    double y;
  };

  void anchor(int64_t frameIndex, double rawSeconds);
  void applyStep(double seconds);
  // Where a server stamp lies against the published line.
  double lineOffset(int64_t frameIndex, double seconds) const;
  // A stamp above the envelope by `above` (> kStepSeconds): true once a loss is confirmed.
  bool stepConfirmed(double x, double y, double above);
  void addToHull(Point point);
  void addToBin(Point point, double slope, double valueAtZero);
  void addToFit(Point point);
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
  // The open bin: its end and its lowest point.
  double binEndX_ = 0;
  Point binLowest_{};
  bool binHasPoint_ = false;
  // Least squares over accepted bin minima (running means and co-moments).
  int64_t fitCount_ = 0;
  double fitMeanX_ = 0;
  double fitMeanY_ = 0;
  double fitCxx_ = 0;
  double fitCxy_ = 0;
  double fitCyy_ = 0;
  // The run of stamps above the envelope: where it began, its lowest, its arrivals.
  bool inHighRun_ = false;
  double highRunStartX_ = 0;
  double highRunLeast_ = 0;
  double highRunLastY_ = 0;
  int highRunArrivals_ = 0;
  // The server's stamps against the published line before the run; a step awaiting its word.
  std::optional<double> serverBaseline_;
  double baselineSpread_ = 0;
  static constexpr int kRoundCapacity = 8;
  std::array<double, kRoundCapacity> round_{};
  int roundSize_ = 0;
  bool stepPending_ = false;
  double pendingStep_ = 0;
  int64_t lateRuns_ = 0;
  int64_t restarts_ = 0;
  int64_t steps_ = 0;
  double lastStep_ = 0;
};

}  // namespace orvane
