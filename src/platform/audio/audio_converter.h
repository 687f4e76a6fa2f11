// AudioConverter: converts PCM from any rate, channel count and sample type
// into another format (in practice 48 kHz mono float). It keeps its
// resampling state from one call to the next; flush() ends the input.
#pragma once

#include <memory>

#include "platform/audio/audio_format.h"
#include "platform/error.h"
#include "platform/audio/pcm_buffer.h"

namespace orvane {

class AudioConverter {
 public:
  virtual ~AudioConverter() = default;

  // The largest calls a converter is readied for: no call with at most
  // `inputFrames` in, into an output of `outputFrames`, allocates.
  struct Largest {
    uint32_t inputFrames;
    uint32_t outputFrames;
  };

  // Yields nothing for a pair it cannot convert. With `largest`, the
  // converter has taken that much silence in and given out what fit: its
  // buffers have their full size, and its delay holds silence, which the
  // next output begins with (pendingOutputFrames() counts it).
  static std::unique_ptr<AudioConverter> create(const AudioFormat& from, const AudioFormat& to,
                                                Largest largest = Largest{0, 0});

  // Consumes all of `input` (which must be in the `from` format) and sets
  // `output`'s frame length to the frames produced, at most its capacity;
  // frames that do not fit stay inside and come out on the next call.
  // Allocates nothing within the sizes it was created for.
  virtual Status convert(const PcmBuffer& input, PcmBuffer& output) = 0;

  // Frames, at the output rate, taken in but not given out yet: the next
  // output begins this long before the next input. Allocates nothing.
  virtual double pendingOutputFrames() const { return 0; }

  // At most how many frames the next call gives for `inputFrames` more input,
  // counting what is held. Allocates nothing.
  virtual uint32_t maxOutputFrames(uint32_t inputFrames) const = 0;

  // Gives out frames held back because an earlier output was full, taking no
  // input and keeping the resampler's state. Allocates nothing.
  virtual Status convertHeld(PcmBuffer& output) = 0;

  // The end of the input: gives out everything still inside, the resampler's
  // delay line included. Call until it yields fewer frames than fit.
  virtual Status flush(PcmBuffer& output) = 0;

 protected:
  // What a call given buffers of other formats than its own yields: no frames.
  static Status wrongFormat(PcmBuffer& output) {
    output.setFrameLength(0);
    return Error{"audio", 1, "converter given buffers in the wrong format"};
  }
};

}  // namespace orvane
