// SampleBuffer: one chunk of system audio as the stream delivers it, with its
// presentation time on the host clock when it has one.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/audio/audio_format.h"

namespace orvane {

struct SampleBuffer {
  bool dataReady = true;
  AudioFormat format;            // as delivered (interleaved or planar)
  uint32_t frameCount = 0;
  std::vector<uint8_t> data;     // interleaved: one block; planar: planes back to back
  std::optional<double> presentationSeconds;  // host seconds of the first frame
};

}  // namespace orvane
