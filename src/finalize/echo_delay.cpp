// The echo path's delay by envelope correlation of the two tracks.
#include "finalize/echo_delay.h"

#include <cmath>

namespace orvane {
namespace {

// The correlation a lag needs to be believed; a far end heard through a
// room reaches 0.8 and more, near speech over it or unrelated sound far less.
constexpr double kMinCorrelation = 0.6;

}  // namespace

void EchoDelayEstimator::add(const float* mic, const float* reference, uint32_t frames) {
  for (uint32_t i = 0; i < frames; ++i) {
    micSum_ += double(mic[i]) * mic[i];
    referenceSum_ += double(reference[i]) * reference[i];
    if (++stepFill_ == kStepFrames) endStep();
  }
}

void EchoDelayEstimator::endStep() {
  newest_ = (newest_ + 1) % kHistory;
  // Log loudness: the echo is the far end scaled, so their logs move alike
  // whatever the echo's level.
  mic_[newest_] = mic_[newest_ + kHistory] = static_cast<float>(std::log10(micSum_ / kStepFrames + 1e-10));
  reference_[newest_] = reference_[newest_ + kHistory] =
      static_cast<float>(std::log10(referenceSum_ / kStepFrames + 1e-10));
  micSum_ = referenceSum_ = 0;
  stepFill_ = 0;
  if (++steps_ >= kHistory && steps_ % kUpdateSteps == 0) update();
}

namespace {

double mean(const float* values, int count) {
  double sum = 0;
  for (int t = 0; t < count; ++t) sum += values[t];
  return sum / count;
}

}  // namespace

void EchoDelayEstimator::update() {
  // Oldest first: the window compared is the last kWindowSteps of each,
  // the reference's taken `lag` steps earlier.
  const float* mic = &mic_[newest_ + 1] + kMaxLagSteps;
  const float* reference = &reference_[newest_ + 1];
  const double micMean = mean(mic, kWindowSteps);
  double micVariance = 0;
  for (int t = 0; t < kWindowSteps; ++t) micVariance += (mic[t] - micMean) * (mic[t] - micMean);
  int bestLag = -1;
  double best = kMinCorrelation;
  for (int lag = 0; lag <= kMaxLagSteps; ++lag) {
    const float* lagged = reference + kMaxLagSteps - lag;
    const double refMean = mean(lagged, kWindowSteps);
    double cross = 0, refVariance = 0;
    for (int t = 0; t < kWindowSteps; ++t) {
      const double r = lagged[t] - refMean;
      cross += (mic[t] - micMean) * r;
      refVariance += r * r;
    }
    const double correlation = cross / std::sqrt(micVariance * refVariance + 1e-20);
    if (correlation > best) best = correlation, bestLag = lag;
  }
  if (bestLag >= 0) delayMs_ = bestLag * 1000.0 * kStepFrames / 48000;
}

}  // namespace orvane
