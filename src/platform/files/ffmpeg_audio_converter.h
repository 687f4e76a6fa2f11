// The FFmpeg module's AudioConverter, for a pair of formats that differ in
// rate, channels or sample type (platform/audio/audio_converter.h).
#pragma once

#include <memory>

#include "platform/audio/audio_converter.h"

namespace orvane {

// Yields nothing for a pair it cannot convert.
std::unique_ptr<AudioConverter> createFfmpegAudioConverter(const AudioFormat& from, const AudioFormat& to,
                                                           AudioConverter::Largest largest);

}  // namespace orvane
