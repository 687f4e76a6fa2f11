// AudioConverter: converts PCM from any rate, channel count and sample type
// into another format (in practice 48 kHz mono float). It keeps its
// resampling state from one call to the next and is never flushed.
#pragma once

#include <memory>

#include "platform/audio/audio_format.h"
#include "platform/error.h"
#include "platform/audio/pcm_buffer.h"

namespace orvane {

class AudioConverter {
 public:
  virtual ~AudioConverter() = default;

  // Yields nothing for a pair it cannot convert.
  static std::unique_ptr<AudioConverter> create(const AudioFormat& from, const AudioFormat& to);

  // Consumes all of `input` (which must be in the `from` format) and sets
  // `output`'s frame length to the frames produced, at most its capacity;
  // frames that do not fit stay inside and come out on the next call.
  // Allocates nothing once warmed up for a given buffer size.
  virtual Status convert(const PcmBuffer& input, PcmBuffer& output) = 0;

  // Frames, at the output rate, taken in but not given out yet: the next
  // output begins this long before the next input. Allocates nothing.
  virtual double pendingOutputFrames() const { return 0; }
};

}  // namespace orvane
