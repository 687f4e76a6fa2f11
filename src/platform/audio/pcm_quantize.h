// Float to 16-bit integer quantisation shared by every 16-bit writer.
#pragma once

#include <cstdint>

#include "platform/audio/pcm_buffer.h"

namespace orvane {

// Interleaves `frames` frames of a planar float buffer, starting at frame
// `first`, into `out` (frames × channels int16 values). Each sample is scaled
// by 32768, rounded to nearest, clipped to the int16 range (so +1.0 becomes
// 32767); NaN becomes 0.
void interleaveToInt16(const PcmBuffer& buffer, uint32_t first, uint32_t frames, int16_t* out);

}  // namespace orvane
