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
// waits for the server's word once the server has given a baseline. Its size
// comes from the stamps once they are on time again, against the published
// stamps: a backlog's arrivals are late by seconds, each by its own amount,
// and a loss the server made during a stall, sized from them, would put the
// inputs tens of ms apart.
// A server stamps a frame no earlier than it was written, and may stamp it up
// to a push later: PipeWire's says when it was asked and moves on in whole
// graph cycles (5-21 ms, or more), so a helper that asks late within a cycle
// sees its own lateness in the answer. So every answer bounds the frame's
// place from above, and two answers either side of a push bound it from below:
// the step is lateness once an answer puts the frame back within the
// threshold, and a loss once a push brackets it beyond. Answers are asked for
// one after another until one of the two comes (a push is at most a cycle away).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace orvane {

class TimestampModel {
 public:
  // Stamps all further above the published ones than this, over kStepConfirmSeconds
  // of frames and kStepConfirmArrivals arrivals, mean frames were lost. Well
  // above the jitter's floor (a fraction of a millisecond over a second's
  // arrivals), well under the track's 5 ms gap rule. Late deliveries come one
  // or a few at a time, but every chunk of a late arrival is late (a 2 s block
  // would fill the window alone), hence the count of arrivals.
  static constexpr double kStepSeconds = 0.002;
  static constexpr double kStepConfirmSeconds = 1.0;
  static constexpr int kStepConfirmArrivals = 3;
  // Arrivals on time scatter by a few ms (PipeWire's by up to 25): arrivals
  // further above the least are still part of a backlog.
  static constexpr double kSteadySeconds = 0.05;
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
  // Longer than any graph cycle a server runs (PipeWire's longest is 8192
  // frames, 171 ms): answers asked one after another for this long saw a push.
  static constexpr double kSweepSeconds = 0.25;
  // A step the server leaves open this long (in frames read) holds: the
  // server keeps no more than this for a reader that is late.
  static constexpr double kServerWordSeconds = 10.5;
  // The first stamp anchors the model, and it is late by whatever delayed
  // that arrival (a push still to come, a busy machine: 0-20 ms). For this
  // long after the anchor, a stamp earlier than the published line moves the
  // line down to it, so that a stream opened again settles on its earliest
  // arrivals as the one before did, not on its first; later, the line only
  // follows the fit (moving it then would bend the measured rate).
  static constexpr double kSettleSeconds = 1.0;

  explicit TimestampModel(double nominalRate);

  // Forgets everything; the next stamp anchors a new model. Call it when the
  // stream is created, moved, suspended or resumed.
  void reset();

  // Capture thread; allocates nothing. `frameIndex` counts frames since the
  // stream began up to the chunk's first frame; `rawSeconds` is the raw host
  // stamp of that frame. Returns the published host seconds of that frame.
  double publish(int64_t frameIndex, double rawSeconds);

  // The server's stamp of a frame: the host time its own clock said it held
  // the stream up to that frame. Outside a step the earliest of a round, at its
  // end, is the baseline while the stamps are on the line; a step that waits
  // weighs each answer as it comes.
  void serverStamp(int64_t frameIndex, double seconds);
  void serverRoundEnd();
  // A step found in the stamps waits for the server's word ...
  bool stepAwaitsServer() const { return stepPending_; }
  // ... and wants the next answer at once, until the answers span kSweepSeconds.
  bool sweepingServer() const;
  // No word from the server: the stamps' step holds.
  void serverSilent();

  double nominalRate() const { return nominalRate_; }
  // Measured rate offset of the current model (0 before there is one), e.g. 1e-6 = 1 ppm fast.
  double rateOffset() const;
  // Times the model started again on its own (frame counts going back, stamps far too early).
  int64_t restartCount() const { return restarts_; }
  // Whether the last publish() came from a model anchored within
  // kSettleSeconds of frames: its stamps owe nothing to the stamps before
  // the anchor, and may still move earlier (see kSettleSeconds).
  bool settling() const { return settling_; }
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
  void settleStep(bool lost);
  // Where a server stamp lies against the published line.
  double lineOffset(int64_t frameIndex, double seconds) const;
  // A stamp `late` (> kStepSeconds) against the published stamps: true once a loss is confirmed.
  bool stepConfirmed(double x, double y, double late);
  void addToHull(Point point);
  void addToBin(Point point, double slope, double valueAtZero);
  void addToFit(Point point);
  // Slope (in y per x) and value at x of the hull edge under the centroid.
  void envelopeLine(double& slope, double& valueAtZero) const;
  double publishedSlope() const;

  double nominalRate_;
  bool anchored_ = false;
  bool settling_ = false;
  double settled_ = 0;  // <= 0: how far the earliest stamps put the line below the anchor
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
  // Since when its stamps keep near its least, and their arrivals since.
  double steadySinceX_ = 0;
  int steadyArrivals_ = 0;
  double highRunLastY_ = 0;
  int highRunArrivals_ = 0;
  // The server's earliest stamp against the published line, before the run,
  // and the round that may replace it; a step awaiting its word, since when,
  // and the last answer on it.
  std::optional<double> serverBaseline_;
  double roundLeast_ = std::numeric_limits<double>::infinity();
  bool stepPending_ = false;
  double pendingStep_ = 0;
  double pendingSinceX_ = 0;
  bool answered_ = false;
  double sweepStart_ = 0;
  int64_t lastAnswerFrame_ = 0;
  double lastAnswerSeconds_ = 0;
  int64_t lateRuns_ = 0;
  int64_t restarts_ = 0;
  int64_t steps_ = 0;
  double lastStep_ = 0;
};

}  // namespace orvane
