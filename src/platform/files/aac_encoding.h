// AAC encoding apart from the file it goes into: an encoder that hands back
// packets, and the call that writes such packets into an AAC output. Both live
// in the FFmpeg module; the functions below reach them through its table, so
// the core never links libavcodec. The parallel encode of long outputs uses
// them to encode pieces of one timeline on several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

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
};

// An encoder configured as the AAC output writer configures its own (FFmpeg's
// native encoder at its default bit rate), so its packets can go into such an
// output; the time stamp of the first frame fed is `firstFrame`.
Result<std::unique_ptr<AacEncoder>> createAacEncoder(const AudioSettings& settings, int64_t firstFrame);

// Appends an encoded packet to `output`, an AAC file from AudioFile::createForWriting
// that nothing has been written to through write(). Packets go in time order.
Status writeAacPacket(AudioFile& output, const AacPacket& packet);

}  // namespace orvane
