// Building the system-audio stream and reading its chunks.
#include "system_audio/system_stream.h"

#include <cstring>

namespace orvane {

namespace {

StreamConfiguration audioOnlyConfiguration() {
  StreamConfiguration configuration;
  configuration.capturesAudio = true;
  configuration.excludesCurrentProcessAudio = true;
  configuration.sampleRate = 48000;
  configuration.channelCount = 2;
  // The picture side means nothing for an audio-only stream; kept as the record.
  configuration.width = 2;
  configuration.height = 2;
  configuration.minimumFrameIntervalSeconds = 1.0;
  configuration.queueDepth = 6;
  return configuration;
}

}  // namespace

std::unique_ptr<SystemAudioStream> makeSystemAudioStream(ScreenCapture& capture, StreamDelegate& delegate,
                                                         SerialQueue& queue) {
  const CaptureError noPermission{"screen_permission", "screen recording access not granted"};
  if (!capture.preflightAccess() && !capture.requestAccess()) throw noPermission;
  auto displays = capture.shareableDisplays();
  if (!displays) throw noPermission;
  if (displays->empty()) throw CaptureError{"no_display", "no display available for capture"};
  auto stream = capture.makeStream(displays->front(), audioOnlyConfiguration(), delegate);
  if (!stream) throw Error{"orvane", 1, "the system-audio stream could not be created"};
  if (Status error = stream->addOutput(StreamOutputType::screen, queue)) throw *error;
  if (Status error = stream->addOutput(StreamOutputType::audio, queue)) throw *error;
  return stream;
}

std::unique_ptr<PcmBuffer> pcmBuffer(const SampleBuffer& sampleBuffer) {
  const AudioFormat& format = sampleBuffer.format;
  if (sampleBuffer.frameCount == 0 || format.channelCount == 0 || !(format.sampleRate > 0)) return nullptr;
  auto buffer = PcmBuffer::create(format, sampleBuffer.frameCount);
  if (!buffer) return nullptr;
  const size_t planeBytes = static_cast<size_t>(sampleBuffer.frameCount) * buffer->planeStride();
  if (sampleBuffer.data.size() < planeBytes * buffer->planeCount()) return nullptr;
  for (uint32_t plane = 0; plane < buffer->planeCount(); ++plane) {
    std::memcpy(buffer->plane(plane), sampleBuffer.data.data() + plane * planeBytes, planeBytes);
  }
  buffer->setFrameLength(sampleBuffer.frameCount);
  return buffer;
}

}  // namespace orvane
