// The system-audio stream as the recorder needs it: checked permission, the
// output to capture, an audio-only configuration, and its chunks as PCM
// buffers.
#pragma once

#include <memory>

#include "platform/audio/pcm_buffer.h"
#include "platform/runtime/serial_queue.h"
#include "platform/sample_buffer.h"
#include "platform/system_audio_stream.h"

namespace orvane {

// Start task: a stream of the first output's audio whose callbacks go to
// `delegate` on `queue`. Throws CaptureError ("screen_permission",
// "no_display") or Error.
std::unique_ptr<SystemAudioStream> makeSystemAudioStream(ScreenCapture& capture, StreamDelegate& delegate,
                                                         SerialQueue& queue);

// The stream's queue: one chunk as a PCM buffer in the chunk's own format (one
// allocation a chunk); nothing for an empty or malformed chunk.
std::unique_ptr<PcmBuffer> pcmBuffer(const SampleBuffer& sampleBuffer);

}  // namespace orvane
