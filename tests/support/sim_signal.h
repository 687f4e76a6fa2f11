// What a scripted device plays: a sine, digital silence or a click train,
// written into a buffer of any sample type and layout.
#pragma once

#include <cstdint>

#include "platform/pcm_buffer.h"
#include "support/sim_clock.h"
#include "support/sim_scenario.h"

namespace orvane::sim {

class SignalWriter {
 public:
  explicit SignalWriter(const SignalScript& script) : script_(script) {}

  // Writes device frames [firstFrame, firstFrame + frames) of the run on
  // `timeline` into `buffer` (every channel alike) and sets its frame length.
  // Allocates nothing. A sine follows the device's frame count; clicks sit at
  // multiples of clickEveryMs of host time, so two devices click together.
  void fill(PcmBuffer& buffer, uint32_t frames, int64_t firstFrame, const DeviceTimeline& timeline) const;

 private:
  float sampleAt(int64_t frame, const DeviceTimeline& timeline) const;
  const SignalScript& script_;
};

// Stores one sample in [-1, 1] at `at` in the given sample type.
void storeSample(uint8_t* at, SampleType type, float value);

}  // namespace orvane::sim
