// The echo canceller: the system audio that was played, taken out of the
// microphone that heard it, both read from the same moments of the common
// timeline.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "finalize/double_talk.h"
#include "finalize/echo_delay.h"
#include "platform/error.h"

namespace webrtc {
class AudioProcessing;
}

namespace orvane {

// What the canceller does beyond the adaptive filter. The defaults are the
// ones recordings are made with; other values are for measuring them.
struct EchoCancellerSettings {
  // 0 low, 1 moderate, 2 high: how hard residual echo is suppressed, traded
  // against near speech over the far end.
  int suppression = 2;
  // The long filter (128 ms of echo tail) instead of 48 ms.
  bool extendedFilter = true;
  // The library's own delay search instead of the one over the two tracks
  // (echo_delay.h); it finds a moved echo path late or not at all.
  bool libraryDelaySearch = false;
  bool noiseSuppression = false;
  bool highPass = true;
  // Near speech over the far end kept from the suppressor (double_talk.h).
  DoubleTalkDetector::Settings doubleTalk;
};

// Runs on the thread that makes the output and keeps the filter's state from
// one call to the next: one canceller serves one recording from start to end.
// Both sides come out in step, as they went in: the library gives its output
// kLatencyFrames late, which the canceller takes back, so output trails input
// by up to a block and that much and drain() gives the rest.
class EchoCanceller {
 public:
  static constexpr uint32_t kBlockFrames = 480;    // 10 ms at the track rate
  static constexpr uint32_t kLatencyFrames = 384;  // the library's, measured
  static constexpr int kRate = 48000;
  static constexpr uint32_t kMaxFrames = 8192;

  // An error when the audio processing library cannot be set up; its text
  // follows "voice processing unavailable: ".
  static Result<std::unique_ptr<EchoCanceller>> create(const EchoCancellerSettings& settings = {});
  ~EchoCanceller();

  // Takes `frames` frames of the microphone and the system audio of the same
  // moments (at most kMaxFrames), and writes to `micOut` and `systemOut` the frames ready: the
  // microphone without the echo and the system audio beside it, from where
  // the last call stopped. `capacity` (at least `frames`) bounds them;
  // returns how many. The outputs may be the inputs.
  uint32_t process(const float* mic, const float* system, uint32_t frames, float* micOut, float* systemOut,
                   uint32_t capacity);
  // After the last process(): the frames still held, up to `capacity`; 0 once all are out.
  uint32_t drain(float* micOut, float* systemOut, uint32_t capacity);
  // The echo path's delay found so far.
  std::optional<double> echoDelayMs() const { return delay_.delayMs(); }

 private:
  static constexpr uint32_t kRing = 2 * kMaxFrames;  // a call's frames and what the last one left behind
  EchoCanceller(webrtc::AudioProcessing* processing, const DoubleTalkDetector::Settings& doubleTalk);
  void processBlock();
  void mixBack(double referenceEnergy);
  uint32_t emit(float* micOut, float* systemOut, uint32_t capacity, int64_t limit);

  std::unique_ptr<webrtc::AudioProcessing> processing_;
  bool ownDelay_ = true;
  int toldMs_ = 0;  // the delay the library works with
  EchoDelayEstimator delay_;
  DoubleTalkDetector doubleTalk_;
  float mix_ = 0;  // the recorded microphone's share at the end of the last block
  std::array<float, kBlockFrames> micBlock_{};
  std::array<float, kBlockFrames> systemBlock_{};
  uint32_t blockFill_ = 0;
  std::array<float, kRing> micRing_{};     // processed microphone, by output frame
  std::array<float, kRing> systemRing_{};  // system audio, by input frame
  std::array<float, kRing> rawRing_{};     // the microphone as recorded, by input frame
  int64_t taken_ = 0;      // frames taken in
  int64_t processed_ = 0;  // frames through the library, its latency included
  int64_t given_ = 0;      // frames given out
};

}  // namespace orvane
