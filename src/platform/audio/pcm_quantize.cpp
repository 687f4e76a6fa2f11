// Float to int16: the scale is 32768 both ways (the reader divides by 32768),
// so a value survives a write and read within half a step. Every 16-bit file
// write goes through here, so the common layouts (mono, stereo) take four
// samples per instruction; the result is the same as the scalar rule.
#include "platform/audio/pcm_quantize.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvane {
namespace {

#if defined(__SSE2__)
// Four samples by the scalar rule: NaN to 0, clipped to [-32768, 32767], then
// rounded to nearest even (the default rounding mode, as lrintf uses).
inline __m128i quantize4(const float* in) {
  __m128 scaled = _mm_mul_ps(_mm_loadu_ps(in), _mm_set1_ps(32768.0f));
  scaled = _mm_and_ps(scaled, _mm_cmpord_ps(scaled, scaled));
  scaled = _mm_max_ps(_mm_min_ps(scaled, _mm_set1_ps(32767.0f)), _mm_set1_ps(-32768.0f));
  return _mm_cvtps_epi32(scaled);
}

// Eight frames at a time; returns how many frames were done.
uint32_t interleaveMono(const float* in, uint32_t frames, int16_t* out) {
  uint32_t i = 0;
  for (; i + 8 <= frames; i += 8) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(quantize4(in + i), quantize4(in + i + 4)));
  }
  return i;
}

uint32_t interleaveStereo(const float* left, const float* right, uint32_t frames, int16_t* out) {
  uint32_t i = 0;
  for (; i + 4 <= frames; i += 4) {
    const __m128i l = quantize4(left + i);
    const __m128i r = quantize4(right + i);
    const __m128i packed = _mm_packs_epi32(_mm_unpacklo_epi32(l, r), _mm_unpackhi_epi32(l, r));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), packed);
  }
  return i;
}
#else
uint32_t interleaveMono(const float*, uint32_t, int16_t*) { return 0; }
uint32_t interleaveStereo(const float*, const float*, uint32_t, int16_t*) { return 0; }
#endif

int16_t quantizeToInt16(float sample) {
  const float scaled = sample * 32768.0f;
  if (!(scaled > -32768.0f)) return scaled < 0 ? int16_t{-32768} : int16_t{0};  // also NaN
  if (scaled >= 32767.0f) return int16_t{32767};
  return static_cast<int16_t>(std::lrintf(scaled));
}

}  // namespace

void interleaveToInt16(const PcmBuffer& buffer, uint32_t first, uint32_t frames, int16_t* out) {
  const uint32_t channels = buffer.format().channelCount;
  uint32_t done = 0;
  if (channels == 1) {
    done = interleaveMono(buffer.floatChannelData(0) + first, frames, out);
  } else if (channels == 2) {
    done = interleaveStereo(buffer.floatChannelData(0) + first, buffer.floatChannelData(1) + first, frames, out);
  }
  for (uint32_t channel = 0; channel < channels; ++channel) {
    const float* in = buffer.floatChannelData(channel) + first;
    int16_t* dst = out + static_cast<size_t>(done) * channels + channel;
    for (uint32_t i = done; i < frames; ++i, dst += channels) *dst = quantizeToInt16(in[i]);
  }
}

}  // namespace orvane
