// FFmpeg's native AAC encoder feeding a callback.
#include "platform/files/ffmpeg_aac_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cstring>

#include "platform/files/ffmpeg_error.h"
#include "platform/files/file_container.h"

namespace orvane {
namespace {

constexpr const char* kAacEncoderName = "aac";  // FFmpeg's native encoder

}  // namespace

Result<std::unique_ptr<AacEncoder>> FfmpegAacEncoder::create(const AudioSettings& settings, int64_t firstFrame) {
  quietFfmpegLogging();
  if (settings.formatId != AudioFormatId::mpeg4AAC) {
    return audioFileError(kUnsupportedSettings, "an AAC encoder takes AAC settings");
  }
  std::unique_ptr<FfmpegAacEncoder> encoder(
      new FfmpegAacEncoder(AudioFormat::standard(settings.sampleRate, settings.channelCount), firstFrame));
  if (Status error = encoder->setUp()) return *error;
  return std::unique_ptr<AacEncoder>(std::move(encoder));
}

FfmpegAacEncoder::FfmpegAacEncoder(const AudioFormat& format, int64_t firstFrame)
    : format_(format), nextPts_(firstFrame) {}

FfmpegAacEncoder::~FfmpegAacEncoder() {
  avcodec_free_context(&encoder_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
}

Status FfmpegAacEncoder::setUp() {
  const AVCodec* codec = avcodec_find_encoder_by_name(kAacEncoderName);
  if (!codec) return ffmpegError(AVERROR_ENCODER_NOT_FOUND, "no AAC encoder");
  encoder_ = avcodec_alloc_context3(codec);
  if (!encoder_) return ffmpegError(AVERROR(ENOMEM), "cannot set up an AAC encoder");
  const int rate = static_cast<int>(format_.sampleRate);
  encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
  encoder_->sample_rate = rate;
  encoder_->time_base = AVRational{1, rate};
  av_channel_layout_default(&encoder_->ch_layout, static_cast<int>(format_.channelCount));
  // Its AudioSpecificConfig goes into the container, not into every packet.
  encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int ret = avcodec_open2(encoder_, codec, nullptr);
  if (ret < 0) return ffmpegError(ret, "cannot open an AAC encoder");
  stream_ = {format_.sampleRate, format_.channelCount,
             std::vector<uint8_t>(encoder_->extradata, encoder_->extradata + encoder_->extradata_size),
             encoder_->bit_rate, encoder_->initial_padding};

  frameSize_ = static_cast<uint32_t>(encoder_->frame_size);
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (!frame_ || !packet_) return ffmpegError(AVERROR(ENOMEM), "cannot allocate AAC encoder frames");
  frame_->format = encoder_->sample_fmt;
  frame_->sample_rate = rate;
  frame_->nb_samples = static_cast<int>(frameSize_);
  ret = av_channel_layout_copy(&frame_->ch_layout, &encoder_->ch_layout);
  if (ret >= 0) ret = av_frame_get_buffer(frame_, 0);
  if (ret < 0) return ffmpegError(ret, "cannot allocate AAC encoder frames");
  return std::nullopt;
}

Status FfmpegAacEncoder::encode(const PcmBuffer& buffer, const AacPacketSink& sink) {
  if (buffer.format() != format_) {
    return audioFileError(kBufferFormatMismatch, "buffer format " + buffer.format().describe() +
                                                     " does not match the AAC encoder's " + format_.describe());
  }
  const uint32_t total = buffer.frameLength();
  for (uint32_t done = 0; done < total;) {
    if (frameFill_ == 0) {
      // The encoder may still hold a reference to the last frame's samples.
      frame_->nb_samples = static_cast<int>(frameSize_);
      const int ret = av_frame_make_writable(frame_);
      if (ret < 0) return ffmpegError(ret, "cannot encode AAC");
    }
    const uint32_t frames = std::min(frameSize_ - frameFill_, total - done);
    for (uint32_t channel = 0; channel < format_.channelCount; ++channel) {
      auto* out = reinterpret_cast<float*>(frame_->extended_data[channel]) + frameFill_;
      std::memcpy(out, buffer.floatChannelData(channel) + done, frames * sizeof(float));
    }
    frameFill_ += frames;
    done += frames;
    if (frameFill_ == frameSize_) {
      if (Status error = send(false, sink)) return error;
    }
  }
  return std::nullopt;
}

Status FfmpegAacEncoder::flush(const AacPacketSink& sink) {
  if (frameFill_ > 0) {
    if (Status error = send(false, sink)) return error;
  }
  return send(true, sink);
}

Status FfmpegAacEncoder::send(bool flush, const AacPacketSink& sink) {
  if (!flush) {
    frame_->nb_samples = static_cast<int>(frameFill_);
    frame_->pts = nextPts_;
    nextPts_ += frameFill_;
    frameFill_ = 0;
  }
  int ret = avcodec_send_frame(encoder_, flush ? nullptr : frame_);
  if (ret < 0) return ffmpegError(ret, "cannot encode AAC");
  for (;;) {
    ret = avcodec_receive_packet(encoder_, packet_);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return std::nullopt;
    if (ret < 0) return ffmpegError(ret, "cannot encode AAC");
    const AacPacket packet{packet_->pts, packet_->duration, packet_->flags, packet_->data,
                           static_cast<size_t>(packet_->size)};
    Status error = sink(packet);
    av_packet_unref(packet_);
    if (error) return error;
  }
}

}  // namespace orvane
