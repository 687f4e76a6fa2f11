// SincResampler: rate conversion of mono 32-bit float between two rates whose
// ratio is a small fraction (44.1, 32, 50 or 96 kHz to 48 kHz), the one
// conversion a recording from the sound server needs, as it reads every
// device as mono float at the device's own rate. A windowed-sinc filter with a
// precomputed phase for each output position within the ratio's period;
// positions are kept as exact integers, so what is held back is known to the
// fraction of a frame. Kept in the core so that such a recording never maps
// libswresample and the libraries libavutil brings.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio/audio_converter.h"

namespace orvane {

class SincResampler final : public AudioConverter {
 public:
  // Yields nothing unless both formats are mono float and the ratio's
  // period keeps the filter table small (up to a few hundred phases); the
  // caller turns to a general converter then. No call of up to
  // `largestInput` frames allocates.
  static std::unique_ptr<SincResampler> create(const AudioFormat& from, const AudioFormat& to,
                                               uint32_t largestInput);

  Status convert(const PcmBuffer& input, PcmBuffer& output) override;
  Status convertHeld(PcmBuffer& output) override;
  Status flush(PcmBuffer& output) override;
  uint32_t maxOutputFrames(uint32_t inputFrames) const override;
  double pendingOutputFrames() const override;

 private:
  SincResampler(const AudioFormat& from, const AudioFormat& to, int64_t up, int64_t down, int half);
  void buildTable(double cutoff);
  // Output frames whose input has come, up to input frame `inputEnd`.
  int64_t outputsBefore(int64_t inputEnd) const;
  void produce(PcmBuffer& output, int64_t limit);

  AudioFormat from_;
  AudioFormat to_;
  int64_t up_;    // output frames per period of the ratio
  int64_t down_;  // input frames per period
  int half_;      // taps on each side of an output position
  std::vector<float> table_;  // up_ phases of 2 * half_ taps
  // Input not yet behind every output still to come; history_[0] is input
  // frame historyStart_ (negative at first: the silence before the input).
  std::vector<float> history_;
  int64_t historyStart_;
  int64_t fed_ = 0;      // input frames taken in
  int64_t produced_ = 0; // output frames given out
  bool ended_ = false;   // flush() began: the input after fed_ is silence
};

}  // namespace orvane
