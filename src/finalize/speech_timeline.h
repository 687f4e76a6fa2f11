// Who spoke when: the output's two channels, as they are made, told into
// spans of speech per channel (the `--speech-timeline` file beside the
// output).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "finalize/echo_delay.h"

namespace orvane {

// One channel's spans from its blocks' verdicts: speech blocks no further
// apart than a gap are one span, which ends with its last speech block; a
// span with fewer speech blocks than the minimum (a click, a breath) is none.
class SpeechSpans {
 public:
  using Span = std::pair<int64_t, int64_t>;  // blocks [first, end)
  SpeechSpans(int gapBlocks, int minSpeechBlocks) : gap_(gapBlocks), minSpeech_(minSpeechBlocks) {}
  void add(int64_t block, bool speech);
  // Every span, the last one closed; sorted, none overlapping.
  std::vector<Span> spans() const;

 private:
  bool kept() const { return speech_ >= minSpeech_; }
  int gap_, minSpeech_;
  std::vector<Span> closed_;
  std::optional<Span> open_;  // its end: after its last speech block so far
  int speech_ = 0;            // speech blocks in the open span
};

// A voice detector per channel on 10 ms blocks: a block is speech when its
// level stands clearly above the channel's tracked noise floor. The
// microphone's block must also stand clearly above the echo the system
// channel predicts: the far end's loudest block around the echo path's delay,
// times the path's gain (a low quantile of the microphone against that far
// end over the blocks where the far end plays). Near speech over the far end
// (both speaking) is louder than the echo and still counts for both.
// A block is told a second after it is heard, against the far end around the
// delay found when it was heard and around the one found by then: a path that
// moved (a loopback raising its latency under load) is found within that
// second, and its echo is not taken for near speech meanwhile.
class SpeechTimeline {
 public:
  static constexpr uint32_t kBlockFrames = 480;  // 10 ms at the output rate
  static constexpr double kRate = 48000;
  // A block is told once the floors have heard a second more: a recording
  // that begins with speech has its floor from the first pause after it.
  static constexpr int kLookaheadBlocks = 100;
  // The far end for the blocks waiting and 640 ms before them.
  static constexpr int kHistoryBlocks = kLookaheadBlocks + 64;

  SpeechTimeline();
  // The output's frames from output frame `first` on: the microphone as
  // recorded (before any echo canceller) and the system audio, and the echo
  // path's delay when voice processing found it (else the timeline finds it
  // itself). Frames it was given before (the
  // output made again from an earlier frame) are not looked at twice.
  void add(const float* mic, const float* system, uint32_t frames, int64_t first,
           std::optional<double> echoDelayMs = std::nullopt);
  // The spans in seconds of the output so far, per channel.
  using Seconds = std::vector<std::pair<double, double>>;
  Seconds micSpeech() const;
  Seconds systemSpeech() const;
  // {"version": 1, "mic": [[start, end], ...], "system": [...]} and a newline.
  std::string json() const;

 private:
  // A channel's noise floor, in dB of a block's mean energy.
  struct Floor {
    std::optional<double> db;
    void follow(double energy);
    bool above(double energy) const;
  };
  // A block heard, waiting to be told.
  struct Pending {
    double mic = 0, system = 0;          // mean energies
    std::optional<double> echoDelayMs;  // the echo path's delay when heard
  };
  void endBlock(std::optional<double> echoDelayMs);
  static std::optional<int> inBlocks(std::optional<double> delayMs);
  double farEnd(int64_t block, std::optional<int> delay) const;
  void tell(const Pending& block);
  bool micSpeaks(const Pending& block);
  SpeechTimeline told() const;  // a copy with every block heard told

  int64_t seen_ = 0;  // output frames looked at
  int64_t block_ = 0;  // blocks heard
  int64_t toldBlocks_ = 0;
  uint32_t fill_ = 0;
  double micSum_ = 0, systemSum_ = 0;
  std::array<Pending, kLookaheadBlocks> pending_{};  // by block, a ring
  Floor micFloor_, systemFloor_;
  std::array<double, kHistoryBlocks> reference_{};  // the system channel by block, a ring
  std::optional<double> echoDelayMs_;               // the latest delay found or given
  // The echo path's gain against the far end's loudest block of half a
  // second (before the delay is known) and around the delay.
  std::array<double, 2> echoGainDb_{};
  EchoDelayEstimator delay_;
  SpeechSpans mic_, system_;
};

}  // namespace orvane
