// The echo path's delay by envelope correlation of the two tracks.
#include "finalize/echo_delay.h"

#include <algorithm>
#include <cmath>

namespace orvane {
namespace {

// The correlation a lag needs to be believed: an echo reaches 0.35 to 0.9
// (PipeWire's loopback the least), near speech over it or unrelated sound less.
constexpr double kMinCorrelation = 0.35;
// A lag takes over from the delay found only when it fits clearly better:
// lags a few steps apart fit alike, and a delay that flips between them, or
// to a lag that happens to fit near speech over the far end as well, makes
// the speech timeline hold the far end around both for a second.
constexpr double kBetterBy = 0.1;
// A quick look moves the delay only when another lag fits the last moments
// as closely as a clean echo does (0.88 to 0.98 where a loopback had moved)
// while the delay found fits them no better than unrelated sound.
constexpr double kMovedCorrelation = 0.8;
// Digital silence (a pause, a gap, nothing played), or the residue a player
// leaves for a moment after its sound (dither, around -95 dBFS), lies under
// kSilentLevel (-80 dBFS, a log level; kSilence keeps the log finite). A far
// end that was silent more than a share of the window compared says too
// little to go by (silent steps themselves count for nothing, deviations()
// below): half of three seconds, a fifth of the last moments. Taken for
// sound, the residue made a line's end (the far end's fall to it against the
// near end's last words) look like a lag of 100 to 380 ms.
constexpr double kSilence = 1e-10;
constexpr float kSilentLevel = -8.0f;
constexpr double kMaxSilentShare = 0.5, kMaxRecentSilentShare = 0.2;

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

// The `n` levels less their mean, silent steps left at 0: where both tracks
// fall silent together (a pause, a gap), their levels would line up at every
// lag alike and drown the echo's likeness. Returns how many were not silent.
int deviations(const float* levels, int n, double* out) {
  double sum = 0;
  int heard = 0;
  for (int t = 0; t < n; ++t) {
    if (!isSilent(levels[t])) sum += levels[t], ++heard;
  }
  const double mean = heard ? sum / heard : 0;
  for (int t = 0; t < n; ++t) out[t] = isSilent(levels[t]) ? 0 : levels[t] - mean;
  return heard;
}

}  // namespace

EchoDelayEstimator::Look EchoDelayEstimator::look(int window, double maxSilentShare) const {
  // Oldest first: the microphone's last `window` steps, the reference's
  // taken `lag` steps earlier.
  const int first = newest_ + 1 + kHistory - window;
  std::array<double, kWindowSteps> m, r;
  deviations(&mic_[first], window, m.data());
  double micVariance = 0;
  for (int t = 0; t < window; ++t) micVariance += m[t] * m[t];
  const int delay = delayMs_ ? static_cast<int>(std::lround(*delayMs_ * 48000 / 1000 / kStepFrames)) : -1;
  Look best;
  for (int lag = 0; lag <= kMaxLagSteps; ++lag) {
    const int heard = deviations(&reference_[first - lag], window, r.data());
    if (heard < (1 - maxSilentShare) * window) continue;
    double cross = 0, refVariance = 0;
    for (int t = 0; t < window; ++t) cross += m[t] * r[t], refVariance += r[t] * r[t];
    const double correlation = cross / std::sqrt(micVariance * refVariance + 1e-20);
    if (lag == delay) best.atDelay = correlation;
    if (correlation > best.correlation) best.correlation = correlation, best.lag = lag;
  }
  return best;
}

void EchoDelayEstimator::update() {
  auto take = [this](int lag) { delayMs_ = lag * 1000.0 * kStepFrames / 48000; };
  // A look moves a delay found only where it hears the far end at that
  // delay's lag too: at the edge of a silence, a lag a few steps off hears a
  // little more of it and would win for want of a rival.
  if (delayMs_) {
    const Look recent = look(kRecentSteps, kMaxRecentSilentShare);
    if (recent.correlation >= kMovedCorrelation && recent.atDelay && *recent.atDelay < kMinCorrelation) {
      take(recent.lag);
      movedAt_ = steps_;
      return;
    }
  }
  if (steps_ - movedAt_ < kHistory) return;  // the steps before the move would pull the delay back
  const Look whole = look(kWindowSteps, kMaxSilentShare);
  if (!delayMs_ ? whole.correlation > kMinCorrelation
                : whole.atDelay && whole.correlation > std::max(kMinCorrelation, *whole.atDelay + kBetterBy)) {
    take(whole.lag);
  }
}

}  // namespace orvane
