// Double talk: near speech over the far end brings the recorded microphone
// back; echo alone, however loud or however unsure the suppressor, does not.
#include <gtest/gtest.h>

#include <deque>

#include "finalize/double_talk.h"

namespace orvane {
namespace {

// The far end at `far`, heard 150 ms later 10 dB down, plus `near`; the
// suppressor leaves `passed` of what it was given.
struct Rig {
  DoubleTalkDetector detector{DoubleTalkDetector::Settings{}};
  std::deque<double> played = std::deque<double>(15, 0.0);  // the far end's last 15 blocks
  float block(double far, double near, double passed) {
    played.push_back(far);
    const double recorded = 0.1 * played.front() + near;
    played.pop_front();
    return detector.update({recorded, recorded * passed, far}, 150.0);
  }
};

TEST(DoubleTalkDetector, BringsTheMicrophoneBackForNearSpeechOnlyAndHoldsItAWhile) {
  Rig rig;
  // The echo's level is learnt from echo alone; a louder far end, or echo
  // the suppressor lets through, is still echo.
  for (int i = 0; i < 300; ++i) EXPECT_EQ(rig.block(0.01 * (1 + i % 7), 0, 1e-3), 0.0f) << i;
  for (int i = 0; i < 20; ++i) EXPECT_EQ(rig.block(0.05, 0, 0.3), 0.0f) << i;
  // Near speech 10 dB over the echo: double talk once the suppressor lets it
  // through, as long as it does not.
  EXPECT_EQ(rig.block(0.05, 0.05, 1e-3), 0.0f);
  EXPECT_EQ(rig.block(0.05, 0.05, 0.1), 1.0f);
  for (int i = 0; i < DoubleTalkDetector::Settings{}.holdBlocks; ++i) EXPECT_EQ(rig.block(0.05, 0, 1e-3), 1.0f) << i;
  EXPECT_EQ(rig.block(0.05, 0, 1e-3), 0.0f);
}

}  // namespace
}  // namespace orvane
