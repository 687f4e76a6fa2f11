// The echo path's delay by envelope correlation of the two tracks.
#include "finalize/echo_delay.h"

#include <algorithm>
#include <cmath>

namespace orvane {
namespace {

// The correlation a lag needs to be believed: an echo reaches 0.35 to 0.9
// (PipeWire's loopback the least), near speech over it or unrelated sound less.
constexpr double kMinCorrelation = 0.35;
// Digital silence (a pause, a gap, nothing played) is this loud, a log
// level under kSilentLevel; a far end that was silent more than
// kMaxSilentShare of the window says too little to go by (silent steps
// themselves count for nothing, deviations() below).
constexpr double kSilence = 1e-10;
constexpr float kSilentLevel = -9.9f;
constexpr double kMaxSilentShare = 0.5;

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
  mic_[newest_] = mic_[newest_ + kHistory] = static_cast<float>(std::log10(micSum_ / kStepFrames + kSilence));
  reference_[newest_] = reference_[newest_ + kHistory] =
      static_cast<float>(std::log10(referenceSum_ / kStepFrames + kSilence));
  micSum_ = referenceSum_ = 0;
  stepFill_ = 0;
  if (++steps_ >= kHistory && steps_ % kUpdateSteps == 0) update();
}

namespace {

bool isSilent(float level) { return level < kSilentLevel; }

// The window's levels less their mean, silent steps left at 0: where both
// tracks fall silent together (a pause, a gap), their levels would line up
// at every lag alike and drown the echo's likeness.
void deviations(const float* levels, double* out) {
  double sum = 0;
  int heard = 0;
  for (int t = 0; t < EchoDelayEstimator::kWindowSteps; ++t) {
    if (!isSilent(levels[t])) sum += levels[t], ++heard;
  }
  const double mean = heard ? sum / heard : 0;
  for (int t = 0; t < EchoDelayEstimator::kWindowSteps; ++t) out[t] = isSilent(levels[t]) ? 0 : levels[t] - mean;
}

}  // namespace

void EchoDelayEstimator::update() {
  // Oldest first: the window compared is the last kWindowSteps of each,
  // the reference's taken `lag` steps earlier.
  const float* mic = &mic_[newest_ + 1] + kMaxLagSteps;
  const float* reference = &reference_[newest_ + 1];
  if (std::count_if(reference, reference + kHistory, isSilent) > kMaxSilentShare * kHistory) return;
  std::array<double, kWindowSteps> m, r;
  deviations(mic, m.data());
  double micVariance = 0;
  for (double v : m) micVariance += v * v;
  int bestLag = -1;
  double best = kMinCorrelation;
  for (int lag = 0; lag <= kMaxLagSteps; ++lag) {
    deviations(reference + kMaxLagSteps - lag, r.data());
    double cross = 0, refVariance = 0;
    for (int t = 0; t < kWindowSteps; ++t) cross += m[t] * r[t], refVariance += r[t] * r[t];
    const double correlation = cross / std::sqrt(micVariance * refVariance + 1e-20);
    if (correlation > best) best = correlation, bestLag = lag;
  }
  if (bestLag >= 0) delayMs_ = bestLag * 1000.0 * kStepFrames / 48000;
}

}  // namespace orvane
