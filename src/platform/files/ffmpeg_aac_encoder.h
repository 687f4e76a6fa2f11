// FfmpegAacEncoder: FFmpeg's native AAC encoder on its own, handing packets
// back to the caller's container. Built into the orvane_ffmpeg module.
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
  const AacStream& stream() const override { return stream_; }

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
  AacStream stream_;
};

}  // namespace orvane
