// FfmpegAacEncoder: FFmpeg's native AAC encoder on its own, handing packets
// back instead of muxing them, and the module function that writes such
// packets into an AAC FfmpegAudioFile. Built into the orvane_ffmpeg module.
#pragma once

#include <memory>

#include "platform/audio/audio_format.h"
#include "platform/files/aac_encoding.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace orvane {

class FfmpegAacEncoder final : public AacEncoder {
 public:
  static Result<std::unique_ptr<AacEncoder>> create(const AudioSettings& settings, int64_t firstFrame);
  ~FfmpegAacEncoder() override;

  Status encode(const PcmBuffer& buffer, const AacPacketSink& sink) override;
  Status flush(const AacPacketSink& sink) override;

 private:
  FfmpegAacEncoder(const AudioFormat& format, int64_t firstFrame);
  Status setUp();
  // Sends the frame being filled (none: the end of the stream) and hands on every packet that is ready.
  Status send(bool flush, const AacPacketSink& sink);

  AudioFormat format_;
  AVCodecContext* encoder_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  uint32_t frameSize_ = 0;
  uint32_t frameFill_ = 0;
  int64_t nextPts_;
};

// The module's writeAacPacket: `output` must be an AAC FfmpegAudioFile.
Status writeEncodedAacPacket(AudioFile& output, const AacPacket& packet);

}  // namespace orvane
