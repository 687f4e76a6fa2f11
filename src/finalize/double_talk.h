// Near speech over the far end, told block by block from the echo canceller's
// signals, and how much of the microphone as recorded goes back into the
// output while it lasts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace orvane {

// Near speech shows twice: the library's suppressor lets it through
// (attenuated by some 10 dB, but far louder than the residual echo of the far
// end alone, 25 to 50 dB down), and the microphone is louder than the far end
// of a moment ago makes it through the echo path. The suppressor alone also
// lets through echo it is unsure of, and the level alone cannot tell a louder
// far end from near speech; both together can. While near speech lasts (and
// `holdBlocks` after) the suppressor's cut is taken back by mixing in the
// microphone as recorded: the echo then heard is the microphone's, under the
// near speaker.
class DoubleTalkDetector {
 public:
  struct Settings {
    // The share of the recorded microphone mixed in during near speech; 0
    // leaves the suppressor's output alone.
    float mix = 1.0f;
    // The suppressor's output against the microphone above which it let
    // something through.
    double passedDb = -12;
    // The microphone against the echo the far end makes above which a near
    // speaker is heard.
    double aboveEchoDb = 6;
    int holdBlocks = 40;
  };
  // Mean energies (per frame) of one 10 ms block.
  struct Block {
    double recorded = 0;   // the microphone as recorded
    double processed = 0;  // the same frames as the suppressor gave them
    double reference = 0;  // the far end, in step with `recorded`
  };
  static constexpr int kHistoryBlocks = 64;  // the far end's last 640 ms

  explicit DoubleTalkDetector(const Settings& settings) : settings_(settings) {}
  // One block, and the echo path's delay if known; returns the share of the
  // recorded microphone for that block.
  float update(const Block& block, std::optional<double> delayMs);

 private:
  double loudestFarEnd(std::optional<double> delayMs) const;

  Settings settings_;
  std::array<double, kHistoryBlocks> reference_{};  // by block, a ring
  int64_t blocks_ = 0;
  // The microphone against the loudest far end of the window in echo alone.
  std::optional<double> returnLossDb_;
  int held_ = 0;           // blocks left to hold near speech
};

}  // namespace orvane
