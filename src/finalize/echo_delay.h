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
// Three seconds follow a moved path late (a loopback that raises its latency
// under load moved from 60 to 130 ms; the old lag held the window for 1.3 s
// more), so each look also compares the last 0.6 s: where the delay found no
// longer fits them at all and another lag fits them closely, that lag is
// taken at once, and the long look waits until its window lies after the
// move.
class EchoDelayEstimator {
 public:
  static constexpr uint32_t kStepFrames = 96;  // 2 ms at 48 kHz
  static constexpr int kMaxLagSteps = 250;     // 500 ms
  static constexpr int kWindowSteps = 1500;    // 3 s compared
  static constexpr int kRecentSteps = 300;     // 0.6 s where a move shows
  static constexpr int kUpdateSteps = 125;     // a new look every 0.25 s

  // Both signals of the same moments, any length.
  void add(const float* mic, const float* reference, uint32_t frames);
  // The microphone hears the reference this much later; nothing until found.
  std::optional<double> delayMs() const { return delayMs_; }

 private:
  // Of the lags where the far end was heard in all but `maxSilentShare` of
  // the microphone's last `window` steps, the one whose reference fits them
  // best, and how well; and how well the delay found fits them, if heard.
  struct Look {
    int lag = -1;
    double correlation = 0;
    std::optional<double> atDelay;
  };
  void endStep();
  void update();
  Look look(int window, double maxSilentShare) const;

  static constexpr int kHistory = kWindowSteps + kMaxLagSteps;
  // Each ring holds every value twice, at i and i + kHistory, so the last
  // kHistory values always lie in a row.
  std::array<float, 2 * kHistory> mic_{};
  std::array<float, 2 * kHistory> reference_{};
  int newest_ = 0;  // ring position of the last finished step
  int64_t steps_ = 0;
  double micSum_ = 0, referenceSum_ = 0;
  uint32_t stepFill_ = 0;
  int64_t movedAt_ = 0;  // the step a quick look moved the delay at
  std::optional<double> delayMs_;
};

}  // namespace orvane
