// AAC encoding apart from the file it goes into: an encoder that hands back
// packets, and the container those packets go into. The encoder lives in the
// FFmpeg module, reached through its table, so the core never links
// libavcodec; the MPEG-4 container is ours (m4a_writer.h), the others are
// FFmpeg's muxers. The parallel encode of long outputs encodes pieces of one
// timeline on several threads with such encoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/audio_file.h"
#include "platform/error.h"

namespace orvane {

// One encoded packet; `data` stays valid only during the call it is handed to.
struct AacPacket {
  int64_t pts = 0;       // output frame of its first decoded frame; negative for the encoder's priming
  int64_t duration = 0;  // frames
  int flags = 0;         // as the encoder set them (key frame)
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// What a container must say about the stream its packets form.
struct AacStream {
  double sampleRate = 48000;
  uint32_t channelCount = 2;
  std::vector<uint8_t> config;  // the AudioSpecificConfig, as the encoder made it
  int64_t bitRate = 0;          // the encoder's nominal rate, bits a second
  int64_t priming = 0;          // frames the decoder gives before the first one fed
};

using AacPacketSink = std::function<Status(const AacPacket&)>;

class AacEncoder {
 public:
  virtual ~AacEncoder() = default;
  // Encodes buffer.frameLength() frames that follow the ones before (the
  // first at the encoder's first frame), in the stereo processing format of
  // the settings; each packet that comes out goes to `sink`, whose error
  // stops the call and is returned.
  virtual Status encode(const PcmBuffer& buffer, const AacPacketSink& sink) = 0;
  // Encodes the last partial frame and drains the encoder's delay.
  virtual Status flush(const AacPacketSink& sink) = 0;
  virtual const AacStream& stream() const = 0;
};

// Where an AAC stream's packets go, in time order; the first one (the
// encoder's priming) is stamped before frame 0.
class AacContainer {
 public:
  virtual ~AacContainer() = default;
  virtual Status append(const AacPacket& packet) = 0;
  // Drops the packets stamped `pts` or later; appends go on after the ones before.
  virtual Status dropFrom(int64_t pts) = 0;
  virtual Status sync() = 0;
  // Writes the container's end (its index) and releases the file.
  virtual Status close() = 0;
};

// FFmpeg's native encoder at its default bit rate; the time stamp of the
// first frame fed is `firstFrame`.
Result<std::unique_ptr<AacEncoder>> createAacEncoder(const AudioSettings& settings, int64_t firstFrame);

// An encoder starting part-way through a timeline is fed this much before its
// first frame kept, so that its adaptive state (window choice, bit
// allocation) has settled on the audio by then: after 1024 frames of
// pre-roll the first seconds were still measurably noisier than the same
// seconds encoded in one pass, after 1536 they no longer were; 2048 leaves a
// margin. A multiple of the 1024-frame AAC frame; 43.7 s at 48 kHz.
inline constexpr int64_t kAacPrerollFrames = 2048 * 1024;

}  // namespace orvane
