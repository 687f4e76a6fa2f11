// FFmpeg-backed output files. The muxer writes through an AVIOContext over a
// descriptor we opened ourselves, so the file gets the same private,
// never-through-a-symlink creation as every other output.
#include "platform/files/ffmpeg_audio_file.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/files/ffmpeg_error.h"
#include "platform/audio/pcm_quantize.h"
#include "platform/files/private_file.h"

namespace orvane {
namespace {

constexpr const char* kAacEncoderName = "aac";  // FFmpeg's native encoder
// PCM has no frame size of its own; this is how many frames go into one packet.
constexpr uint32_t kPcmPacketFrames = 4096;
constexpr int kIoBufferBytes = 64 * 1024;

}  // namespace

Result<std::shared_ptr<AudioFile>> FfmpegAudioFile::createForWriting(const std::string& path,
                                                                     const AudioSettings& settings,
                                                                     const FileContainer& container) {
  quietFfmpegLogging();
  std::shared_ptr<FfmpegAudioFile> file(
      new FfmpegAudioFile(path, AudioFormat::standard(settings.sampleRate, settings.channelCount)));
  if (Status error = file->setUp(settings, container)) {
    const bool created = file->fd_ >= 0;
    file.reset();  // closes the descriptor before the half-made file goes
    if (created) ::unlink(path.c_str());
    return *error;
  }
  return std::shared_ptr<AudioFile>(std::move(file));
}

FfmpegAudioFile::FfmpegAudioFile(std::string path, const AudioFormat& format)
    : path_(std::move(path)), format_(format) {}

Status FfmpegAudioFile::setUp(const AudioSettings& settings, const FileContainer& container) {
  pcm_ = settings.formatId == AudioFormatId::linearPCM;
  const char* muxerName = pcm_ ? container.pcmMuxer : container.aacMuxer;
  int ret = avformat_alloc_output_context2(&muxer_, nullptr, muxerName, nullptr);
  if (ret < 0 || !muxer_) return ffmpegError(ret, std::string("no ") + muxerName + " muxer for " + path_);

  const AVCodec* codec = pcm_ ? avcodec_find_encoder(settings.isBigEndian ? AV_CODEC_ID_PCM_S16BE
                                                                          : AV_CODEC_ID_PCM_S16LE)
                              : avcodec_find_encoder_by_name(kAacEncoderName);
  if (!codec) return ffmpegError(AVERROR_ENCODER_NOT_FOUND, "no encoder for " + path_);
  encoder_ = avcodec_alloc_context3(codec);
  if (!encoder_) return ffmpegError(AVERROR(ENOMEM), "cannot set up the encoder for " + path_);
  const int rate = static_cast<int>(format_.sampleRate);
  encoder_->sample_fmt = pcm_ ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLTP;
  encoder_->sample_rate = rate;
  encoder_->time_base = AVRational{1, rate};
  av_channel_layout_default(&encoder_->ch_layout, static_cast<int>(format_.channelCount));
  if (muxer_->oformat->flags & AVFMT_GLOBALHEADER) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  ret = avcodec_open2(encoder_, codec, nullptr);
  if (ret < 0) return ffmpegError(ret, "cannot open the encoder for " + path_);

  AVStream* stream = avformat_new_stream(muxer_, nullptr);
  if (!stream) return ffmpegError(AVERROR(ENOMEM), "cannot add a stream to " + path_);
  ret = avcodec_parameters_from_context(stream->codecpar, encoder_);
  if (ret < 0) return ffmpegError(ret, "cannot describe the stream of " + path_);
  stream->time_base = encoder_->time_base;

  frameSize_ = pcm_ || encoder_->frame_size <= 0 ? kPcmPacketFrames : static_cast<uint32_t>(encoder_->frame_size);
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (!frame_ || !packet_) return ffmpegError(AVERROR(ENOMEM), "cannot allocate frames for " + path_);
  frame_->format = encoder_->sample_fmt;
  frame_->sample_rate = rate;
  frame_->nb_samples = static_cast<int>(frameSize_);
  ret = av_channel_layout_copy(&frame_->ch_layout, &encoder_->ch_layout);
  if (ret >= 0) ret = av_frame_get_buffer(frame_, 0);
  if (ret < 0) return ffmpegError(ret, "cannot allocate frames for " + path_);

  // Everything that can fail without touching the disk has been done.
  if (Status error = openOutput()) return error;
  AVDictionary* options = nullptr;
  // The movie's edit list states the length without the encoder's priming
  // frames; at the default 1/1000 s it would be rounded, at 1/rate it is exact.
  if (container.exactLengthTimescale) av_dict_set_int(&options, "movie_timescale", rate, 0);
  ret = avformat_write_header(muxer_, &options);
  av_dict_free(&options);
  if (ret < 0) return ffmpegError(ret, "cannot write the header of " + path_);
  headerWritten_ = true;
  return std::nullopt;
}

Status FfmpegAudioFile::openOutput() {
  auto fd = createPrivateFile(path_);
  if (!fd) return fd.error();
  fd_ = *fd;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
  if (!buffer) return ffmpegError(AVERROR(ENOMEM), "cannot allocate output buffer for " + path_);
  io_ = avio_alloc_context(buffer, kIoBufferBytes, 1, this, nullptr, &FfmpegAudioFile::writeToFd,
                           &FfmpegAudioFile::seekFd);
  if (!io_) {
    av_free(buffer);
    return ffmpegError(AVERROR(ENOMEM), "cannot allocate output context for " + path_);
  }
  muxer_->pb = io_;
  muxer_->flags |= AVFMT_FLAG_CUSTOM_IO;
  // By default the muxer flushes a custom I/O context after every packet,
  // one write(2) per 1024 frames; the output needs no per-packet durability.
  muxer_->flush_packets = 0;
  return std::nullopt;
}

FfmpegAudioFile::~FfmpegAudioFile() { close(); }

Status FfmpegAudioFile::close() {
  Status status = finishStream();
  release();
  return status;
}

Status FfmpegAudioFile::finishStream() {
  if (!headerWritten_) return std::nullopt;
  headerWritten_ = false;
  Status status;
  if (frameFill_ > 0) status = sendFrame(false);
  if (Status error = sendFrame(true); error && !status) status = error;
  if (const int ret = av_write_trailer(muxer_); ret < 0 && !status) {
    status = ffmpegError(ret, "cannot write the end of " + path_);
  }
  if (io_) {
    avio_flush(io_);
    if (io_->error < 0 && !status) status = ffmpegError(io_->error, "cannot write the end of " + path_);
  }
  return status;
}

void FfmpegAudioFile::release() {
  avcodec_free_context(&encoder_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  avformat_free_context(muxer_);
  muxer_ = nullptr;
  if (io_) {
    av_freep(&io_->buffer);
    avio_context_free(&io_);
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Error FfmpegAudioFile::ffmpegError(int code, const std::string& what) const {
  // A failure of the descriptor itself (disk full, I/O error) is reported as such.
  if (lastErrno_ != 0) return posixError(lastErrno_, what);
  return orvane::ffmpegError(code, what);
}

Status FfmpegAudioFile::write(const PcmBuffer& buffer) {
  if (buffer.format() != format_) {
    return audioFileError(kBufferFormatMismatch, "buffer format " + buffer.format().describe() +
                                                     " does not match " + format_.describe() + " of " + path_);
  }
  const uint32_t total = buffer.frameLength();
  for (uint32_t done = 0; done < total;) {
    const uint32_t frames = std::min(frameSize_ - frameFill_, total - done);
    if (frameFill_ == 0) {
      // The encoder may still hold a reference to the last frame's samples.
      frame_->nb_samples = static_cast<int>(frameSize_);
      const int ret = av_frame_make_writable(frame_);
      if (ret < 0) return ffmpegError(ret, "cannot write to " + path_);
    }
    fillFrame(buffer, done, frames);
    frameFill_ += frames;
    done += frames;
    frames_.fetch_add(frames, std::memory_order_relaxed);
    if (frameFill_ == frameSize_) {
      if (Status error = sendFrame(false)) return error;
    }
  }
  // PCM packets may be any size, so nothing needs to wait for the next call.
  if (pcm_ && frameFill_ > 0) return sendFrame(false);
  return std::nullopt;
}

void FfmpegAudioFile::fillFrame(const PcmBuffer& buffer, uint32_t first, uint32_t frames) {
  if (pcm_) {
    auto* out = reinterpret_cast<int16_t*>(frame_->data[0]) + static_cast<size_t>(frameFill_) * format_.channelCount;
    interleaveToInt16(buffer, first, frames, out);
    return;
  }
  for (uint32_t channel = 0; channel < format_.channelCount; ++channel) {
    auto* out = reinterpret_cast<float*>(frame_->extended_data[channel]) + frameFill_;
    std::memcpy(out, buffer.floatChannelData(channel) + first, frames * sizeof(float));
  }
}

int sendFilledFrame(AVCodecContext* encoder, AVFrame* frame, uint32_t& fill, int64_t& nextPts, bool flush) {
  if (flush) return avcodec_send_frame(encoder, nullptr);
  frame->nb_samples = static_cast<int>(fill);
  frame->pts = nextPts;
  nextPts += fill;
  fill = 0;
  return avcodec_send_frame(encoder, frame);
}

Status FfmpegAudioFile::sendFrame(bool flush) {
  int ret = sendFilledFrame(encoder_, frame_, frameFill_, nextPts_, flush);
  if (ret < 0) return ffmpegError(ret, "cannot encode for " + path_);
  for (;;) {
    ret = avcodec_receive_packet(encoder_, packet_);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return std::nullopt;
    if (ret < 0) return ffmpegError(ret, "cannot encode for " + path_);
    packet_->stream_index = 0;
    av_packet_rescale_ts(packet_, encoder_->time_base, muxer_->streams[0]->time_base);
    ret = av_interleaved_write_frame(muxer_, packet_);
    if (ret < 0) return ffmpegError(ret, "cannot write to " + path_);
  }
}

Status FfmpegAudioFile::writeEncoded(const AacPacket& packet) {
  if (pcm_) return audioFileError(kUnsupportedSettings, path_ + " holds PCM, not AAC packets");
  int ret = av_new_packet(packet_, static_cast<int>(packet.size));
  if (ret < 0) return ffmpegError(ret, "cannot write to " + path_);
  std::memcpy(packet_->data, packet.data, packet.size);
  packet_->pts = packet_->dts = packet.pts;
  packet_->duration = packet.duration;
  packet_->flags = packet.flags;
  packet_->stream_index = 0;
  av_packet_rescale_ts(packet_, encoder_->time_base, muxer_->streams[0]->time_base);
  ret = av_interleaved_write_frame(muxer_, packet_);
  if (ret < 0) return ffmpegError(ret, "cannot write to " + path_);
  return std::nullopt;
}

Status FfmpegAudioFile::read(PcmBuffer& into, uint32_t) {
  into.setFrameLength(0);
  return audioFileError(kUnsupportedSettings, path_ + " was opened for writing, not reading");
}

Status FfmpegAudioFile::sync() {
  avio_flush(io_);
  if (io_->error < 0) return ffmpegError(io_->error, "cannot write to " + path_);
  if (::fsync(fd_) != 0) return posixError(errno, "cannot sync " + path_);
  return std::nullopt;
}

int FfmpegAudioFile::writeToFd(void* opaque, uint8_t* data, int size) {
  auto* self = static_cast<FfmpegAudioFile*>(opaque);
  for (int done = 0; done < size;) {
    const ssize_t n = ::write(self->fd_, data + done, static_cast<size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      self->lastErrno_ = n < 0 ? errno : EIO;
      return AVERROR(self->lastErrno_);
    }
    done += static_cast<int>(n);
  }
  return size;
}

int64_t FfmpegAudioFile::seekFd(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<FfmpegAudioFile*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat status {};
    if (::fstat(self->fd_, &status) != 0) return AVERROR(errno);
    return status.st_size;
  }
  const off_t position = ::lseek(self->fd_, offset, whence & ~AVSEEK_FORCE);
  if (position < 0) {
    self->lastErrno_ = errno;
    return AVERROR(errno);
  }
  return position;
}

}  // namespace orvane
