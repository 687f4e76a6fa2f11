// The lower-envelope time-stamp model: hull upkeep, the centroid edge, lost frames.
#include "platform/pulse/timestamp_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace orvane {

namespace {

// > 0 when a → b → c turns left, i.e. b lies below the segment a–c.
double cross(double ax, double ay, double bx, double by, double cx, double cy) {
  return (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
}

}  // namespace

TimestampModel::TimestampModel(double nominalRate) : nominalRate_(nominalRate) {}

void TimestampModel::reset() {
  anchored_ = false;
  hullSize_ = 0;
}

void TimestampModel::anchor(int64_t frameIndex, double rawSeconds) {
  anchored_ = true;
  settling_ = true;
  settled_ = 0;
  anchorFrame_ = frameIndex;
  anchorSeconds_ = rawSeconds;
  lastFrame_ = frameIndex;
  hullSize_ = 0;
  sumX_ = 0;
  pointCount_ = 0;
  inHighRun_ = false;
  binEndX_ = kBinSeconds;
  binHasPoint_ = false;
  fitCount_ = 0;
  fitMeanX_ = fitMeanY_ = fitCxx_ = fitCxy_ = fitCyy_ = 0;
  serverBaseline_.reset();
  roundLeast_ = std::numeric_limits<double>::infinity();
  stepPending_ = false;
  addToHull({0, 0});
  addToBin({0, 0}, 0, 0);
}

double TimestampModel::publish(int64_t frameIndex, double rawSeconds) {
  if (!anchored_ || frameIndex < lastFrame_) {
    if (anchored_) ++restarts_;
    anchor(frameIndex, rawSeconds);
    return rawSeconds;
  }
  lastFrame_ = frameIndex;
  const double x = static_cast<double>(frameIndex - anchorFrame_) / nominalRate_;
  const double y = rawSeconds - anchorSeconds_ - x;

  double slope = 0;
  double valueAtZero = 0;
  envelopeLine(slope, valueAtZero);
  const double above = y - (valueAtZero + slope * x);
  if (above < -kTooEarlySeconds) {
    ++restarts_;
    anchor(frameIndex, rawSeconds);
    return rawSeconds;
  }
  // Every stamp enters the hull, late ones too: an early edge that is off
  // (too few points, or its slope clamped) is mended by the stamps above it.
  addToHull({x, y});
  addToBin({x, y}, slope, valueAtZero);
  if (stepPending_ && x - pendingSinceX_ > kServerWordSeconds) serverSilent();
  // A step is the stamps' lateness against the published stamps: after a
  // stall the hull's edge may run from the last stamps on time to the first
  // ones after it, and take most of a loss into its slope.
  const double late = lineOffset(frameIndex, rawSeconds) - settled_;
  if (late <= kStepSeconds) {
    inHighRun_ = false;
  } else if (!stepPending_ && stepConfirmed(x, y, late)) {
    inHighRun_ = false;
    if (serverBaseline_) {
      stepPending_ = true;
      pendingStep_ = highRunLeast_;
      pendingSinceX_ = x;
      answered_ = false;
      roundLeast_ = std::numeric_limits<double>::infinity();  // a round begun before is no baseline after
    } else {
      applyStep(highRunLeast_);
    }
  }
  const double line = anchorSeconds_ + x * (1.0 + publishedSlope());
  settling_ = x < kSettleSeconds;
  if (settling_) settled_ = std::min(settled_, rawSeconds - line);
  return line + settled_;
}

// The fit still holds; only the frame count fell behind the clock.
void TimestampModel::applyStep(double seconds) {
  anchorSeconds_ += seconds;
  lastStep_ = seconds;
  ++steps_;
}

double TimestampModel::lineOffset(int64_t frameIndex, double seconds) const {
  const double x = static_cast<double>(frameIndex - anchorFrame_) / nominalRate_;
  return seconds - (anchorSeconds_ + x * (1.0 + publishedSlope()));
}

// Frames lost move the server's stamps off the line by the loss; our own
// lateness does not move them at all. A step the server shows at least half
// of is a loss (the stamps' step is the loss plus any lateness beside it).
// An answer puts the frame at its offset or earlier (up to a push earlier); the
// answer before, if it had not yet seen this frame written, puts it after its own time.
// PipeWire's count fell 0.7-0.8 s behind the frames it sent after its graph
// stalled for 1 s (while the stamps stepped by 16-69 ms), so after a loss the
// deciding answer is the baseline: a starved helper soon after is still late.
void TimestampModel::serverStamp(int64_t frameIndex, double seconds) {
  if (!anchored_ || frameIndex < anchorFrame_) return;
  const double latest = lineOffset(frameIndex, seconds);
  if (!stepPending_) {
    roundLeast_ = std::min(roundLeast_, latest);
    return;
  }
  const double least = std::max(kStepSeconds, pendingStep_ / 2);
  if (latest - *serverBaseline_ <= least) return settleStep(false);
  const bool pushedSince = answered_ && frameIndex > lastAnswerFrame_;
  if (pushedSince && lineOffset(frameIndex, lastAnswerSeconds_) - *serverBaseline_ > least) {
    settleStep(true);
    // Against the line moved by the step: what the server counts beyond it is its own from now on.
    serverBaseline_ = lineOffset(frameIndex, seconds);
    return;
  }
  if (!answered_) sweepStart_ = seconds;
  answered_ = true;
  lastAnswerFrame_ = frameIndex;
  lastAnswerSeconds_ = seconds;
}

bool TimestampModel::sweepingServer() const {
  return stepPending_ && (!answered_ || lastAnswerSeconds_ - sweepStart_ < kSweepSeconds);
}

// Not while the stamps run high: a loss may have come meanwhile.
void TimestampModel::serverRoundEnd() {
  const double least = std::exchange(roundLeast_, std::numeric_limits<double>::infinity());
  if (stepPending_ || !std::isfinite(least)) return;
  if (!inHighRun_ || !serverBaseline_) serverBaseline_ = least;
}

void TimestampModel::settleStep(bool lost) {
  stepPending_ = false;
  if (lost) applyStep(pendingStep_);
  else ++lateRuns_;
}

void TimestampModel::serverSilent() {
  if (stepPending_) settleStep(true);
}

// Lateness passes; lost frames keep every later stamp high. The loss is the
// least of the run's later stamps: the loss plus the least delay among their
// arrivals, close to the envelope's own. The run's first half second and first
// arrival are left out, as late deliveries just before the loss would
// otherwise measure it short. A reader catching up on a backlog (a helper
// starved or stopped) brings each arrival seconds late, later or earlier than
// the one before: the least counts once kStepConfirmArrivals arrivals over
// half a second of frames keep within kSteadySeconds of it and lower it by no
// more than the envelope's band, and a stamp far above it starts it afresh.
bool TimestampModel::stepConfirmed(double x, double y, double late) {
  if (!inHighRun_) {
    inHighRun_ = true;
    highRunStartX_ = x;
    highRunArrivals_ = 0;
    highRunLeast_ = std::numeric_limits<double>::infinity();
  }
  const bool arrival = highRunArrivals_ == 0 || std::abs(y - highRunLastY_) > kSameArrivalSeconds;
  if (arrival) ++highRunArrivals_;
  highRunLastY_ = y;
  const double into = x - highRunStartX_;
  if (highRunArrivals_ <= 1 || into < kStepConfirmSeconds / 2) return false;
  if (late < highRunLeast_ - kEnvelopeBandSeconds || late > highRunLeast_ + kSteadySeconds) {
    highRunLeast_ = late;  // still falling, or far above: the least starts again here
    steadySinceX_ = x;
    steadyArrivals_ = 0;
  } else {
    highRunLeast_ = std::min(highRunLeast_, late);
    if (arrival) ++steadyArrivals_;
  }
  return into >= kStepConfirmSeconds && steadyArrivals_ >= kStepConfirmArrivals &&
         x - steadySinceX_ >= kStepConfirmSeconds / 2;
}

void TimestampModel::addToHull(Point point) {
  if (hullSize_ > 0 && point.x <= hull_[hullSize_ - 1].x) {
    if (point.y >= hull_[hullSize_ - 1].y) return;
    --hullSize_;  // same frame, lower stamp: it replaces the last vertex
  }
  while (hullSize_ >= 2) {
    const Point& a = hull_[hullSize_ - 2];
    const Point& b = hull_[hullSize_ - 1];
    if (cross(a.x, a.y, b.x, b.y, point.x, point.y) > 0) break;
    --hullSize_;
  }
  if (hullSize_ == kHullCapacity) {
    // Practically unreachable (hull vertices are few); keeping the newer half
    // only shortens the span that the slope is measured over.
    const size_t keep = kHullCapacity / 2;
    std::memmove(hull_.data(), hull_.data() + (kHullCapacity - keep), keep * sizeof(Point));
    hullSize_ = keep;
  }
  hull_[hullSize_++] = point;
  sumX_ += point.x;
  ++pointCount_;
}

void TimestampModel::addToBin(Point point, double slope, double valueAtZero) {
  if (point.x >= binEndX_) {
    // The bin is complete: its lowest point counts if it lies on the envelope,
    // and is no later than a step above the published line. After a long
    // stall the newest stamps are one late arrival seconds of frames past the
    // last on time, and the hull's edge under the centroid runs up to them:
    // they lie on it, and would bend the fit by hundreds of ppm.
    if (binHasPoint_ && binLowest_.y - (valueAtZero + slope * binLowest_.x) <= kFitBandSeconds &&
        binLowest_.y - publishedSlope() * binLowest_.x - settled_ <= kStepSeconds) {
      addToFit(binLowest_);
    }
    binHasPoint_ = false;
    binEndX_ = (std::floor(point.x / kBinSeconds) + 1) * kBinSeconds;  // a reported hole may skip many bins
  }
  if (!binHasPoint_ || point.y < binLowest_.y) binLowest_ = point;
  binHasPoint_ = true;
}

void TimestampModel::addToFit(Point point) {
  ++fitCount_;
  const double n = static_cast<double>(fitCount_);
  const double dx = point.x - fitMeanX_;
  const double dy = point.y - fitMeanY_;
  fitMeanX_ += dx / n;
  fitMeanY_ += dy / n;
  fitCxx_ += dx * (point.x - fitMeanX_);
  fitCxy_ += dx * (point.y - fitMeanY_);
  fitCyy_ += dy * (point.y - fitMeanY_);
}

void TimestampModel::envelopeLine(double& slope, double& valueAtZero) const {
  if (hullSize_ < 2) {
    slope = 0;
    valueAtZero = hullSize_ == 1 ? hull_[0].y : 0;
    return;
  }
  // The edge above the centroid's x: of all lines below every point, it
  // minimizes the summed distance to them.
  const double centroidX = sumX_ / static_cast<double>(pointCount_);
  const Point* begin = hull_.data();
  const Point* end = begin + hullSize_;
  const Point* right = std::upper_bound(begin + 1, end - 1, centroidX,
                                        [](double x, const Point& p) { return x < p.x; });
  const Point& a = *(right - 1);
  const Point& b = *right;
  slope = std::clamp((b.y - a.y) / (b.x - a.x), -kMaxRateOffset, kMaxRateOffset);
  valueAtZero = a.y - slope * a.x;
}

double TimestampModel::publishedSlope() const {
  if (fitCount_ < 3 || !(fitCxx_ > 0)) return 0;
  const double slope = fitCxy_ / fitCxx_;
  // Squared standard error of the slope, from the scatter about the fit. The
  // scatter is taken as at least the envelope band: points of one delivery
  // share its delay, so their scatter understates the uncertainty.
  const double residual = std::max(0.0, fitCyy_ - slope * fitCxy_);
  const double scatter2 = std::max(residual / static_cast<double>(fitCount_ - 2), kEnvelopeBandSeconds * kEnvelopeBandSeconds / 4);
  const double error2 = scatter2 / fitCxx_;
  const double prior2 = kPriorRateOffset * kPriorRateOffset;
  const double weight = prior2 / (prior2 + error2);
  return std::clamp(slope * weight, -kMaxRateOffset, kMaxRateOffset);
}

double TimestampModel::rateOffset() const { return 1.0 / (1.0 + publishedSlope()) - 1.0; }

}  // namespace orvane
