// The system-audio write path, audioQueue side: the stream's chunk as a PCM
// buffer, the pause check, then the shared slot ring (recorder/track_writer.cpp).
#include <cstring>

#include "recorder/track_writer.h"

namespace orvane {

// audioQueue: one allocation per chunk, in the chunk's own format.
std::unique_ptr<PcmBuffer> Recorder::pcmBuffer(const SampleBuffer& sampleBuffer) {
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

// audioQueue. A chunk without a time stamp is still written; it only takes no
// part in the timeline bookkeeping.
void Recorder::writeSystemAudio(const PcmBuffer& buffer, std::optional<double> hostSeconds) {
  if (finished || !systemFile) return;
  std::optional<double> active;
  if (hostSeconds) {
    active = activeHostSeconds(*hostSeconds);
    if (!active) return;
  } else if (paused) {
    return;
  }
  submitToTrack(sysTrack(), buffer, systemFile, active);
}

}  // namespace orvane
