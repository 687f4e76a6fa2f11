// The echo path's delay, found from the two tracks: where the microphone's
// loudness follows the system audio's best.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace orvane {

// Loudness envelopes of both signals (one value per 2 ms) are kept for the
// last few seconds; every quarter second the microphone's is compared with
// the system audio's at every lag up to half a second. A lag is taken only
// when the two clearly move together: near speech over the far end, or a
// silent far end, leaves the last delay found in place.
class EchoDelayEstimator {
 public:
  static constexpr uint32_t kStepFrames = 96;  // 2 ms at 48 kHz
  static constexpr int kMaxLagSteps = 250;     // 500 ms
  static constexpr int kWindowSteps = 1500;    // 3 s compared
  static constexpr int kUpdateSteps = 125;     // a new look every 0.25 s

  // Both signals of the same moments, any length.
  void add(const float* mic, const float* reference, uint32_t frames);
  // The microphone hears the reference this much later; nothing until found.
  std::optional<double> delayMs() const { return delayMs_; }

 private:
  void endStep();
  void update();

  static constexpr int kHistory = kWindowSteps + kMaxLagSteps;
  // Each ring holds every value twice, at i and i + kHistory, so the last
  // kHistory values always lie in a row.
  std::array<float, 2 * kHistory> mic_{};
  std::array<float, 2 * kHistory> reference_{};
  int newest_ = 0;  // ring position of the last finished step
  int64_t steps_ = 0;
  double micSum_ = 0, referenceSum_ = 0;
  uint32_t stepFill_ = 0;
  std::optional<double> delayMs_;
};

}  // namespace orvane
