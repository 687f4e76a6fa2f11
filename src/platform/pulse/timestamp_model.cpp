// The lower-envelope time-stamp model: hull upkeep, the centroid edge, gaps.
#include "platform/pulse/timestamp_model.h"

#include <algorithm>
#include <cstring>

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
  anchorFrame_ = frameIndex;
  anchorSeconds_ = rawSeconds;
  lastFrame_ = frameIndex;
  hullSize_ = 0;
  sumX_ = 0;
  pointCount_ = 0;
  lastX_ = 0;
  inLateRun_ = false;
  addToHull({0, 0});
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
  if (above < -kGapSeconds) {
    // Far earlier than the envelope allows: the model no longer describes this stream.
    ++restarts_;
    anchor(frameIndex, rawSeconds);
    return rawSeconds;
  }
  if (above > kGapSeconds) {
    // Late by more than any delivery jitter. Lateness passes; lost frames
    // keep every later stamp late, and then the model starts again.
    if (!inLateRun_) {
      inLateRun_ = true;
      lateRunStartX_ = x;
    } else if (x - lateRunStartX_ >= kGapConfirmSeconds) {
      ++restarts_;
      anchor(frameIndex, rawSeconds);
      return rawSeconds;
    }
  } else {
    inLateRun_ = false;
    addToHull({x, y});
    lastX_ = x;
  }
  return anchorSeconds_ + x * (1.0 + publishedSlope());
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
  double slope = 0;
  double valueAtZero = 0;
  envelopeLine(slope, valueAtZero);
  const double span2 = lastX_ * lastX_;
  return slope * span2 / (span2 + kSlopeTrustSeconds * kSlopeTrustSeconds);
}

double TimestampModel::rateOffset() const { return 1.0 / (1.0 + publishedSlope()) - 1.0; }

}  // namespace orvane
