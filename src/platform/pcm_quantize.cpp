// Float to int16: the scale is 32768 both ways (the reader divides by 32768),
// so a value survives a write and read within half a step.
#include "platform/pcm_quantize.h"

#include <cmath>

namespace orvane {

int16_t quantizeToInt16(float sample) {
  const float scaled = sample * 32768.0f;
  if (!(scaled > -32768.0f)) return scaled < 0 ? int16_t{-32768} : int16_t{0};  // also NaN
  if (scaled >= 32767.0f) return int16_t{32767};
  return static_cast<int16_t>(std::lrintf(scaled));
}

void interleaveToInt16(const PcmBuffer& buffer, uint32_t first, uint32_t frames, int16_t* out) {
  const uint32_t channels = buffer.format().channelCount;
  for (uint32_t channel = 0; channel < channels; ++channel) {
    const float* in = buffer.floatChannelData(channel) + first;
    int16_t* dst = out + channel;
    for (uint32_t i = 0; i < frames; ++i, dst += channels) *dst = quantizeToInt16(in[i]);
  }
}

}  // namespace orvane
