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

// PCM has no frame size of its own; this is how many frames go into one packet.
constexpr uint32_t kPcmPacketFrames = 4096;
constexpr int kIoBufferBytes = 64 * 1024;

}  // namespace

Result<std::shared_ptr<AudioFile>> FfmpegAudioFile::createForWriting(const std::string& path,
                                                                     const AudioSettings& settings,
                                                                     const FileContainer& container) {
  Result<std::unique_ptr<FfmpegAudioFile>> file = create(path, settings, nullptr, container);
  if (!file) return file.error();
  return std::shared_ptr<AudioFile>(std::move(*file));
}

Result<std::unique_ptr<AacContainer>> FfmpegAudioFile::createAacMuxer(const std::string& path,
                                                                      const AacStream& stream,
                                                                      const FileContainer& container) {
  AudioSettings settings;
  settings.formatId = AudioFormatId::mpeg4AAC;
  settings.sampleRate = stream.sampleRate;
  settings.channelCount = stream.channelCount;
  Result<std::unique_ptr<FfmpegAudioFile>> file = create(path, settings, &stream, container);
  if (!file) return file.error();
  return std::unique_ptr<AacContainer>(std::move(*file));
}

Result<std::unique_ptr<FfmpegAudioFile>> FfmpegAudioFile::create(const std::string& path,
                                                                 const AudioSettings& settings,
                                                                 const AacStream* aac,
                                                                 const FileContainer& container) {
  quietFfmpegLogging();
  std::unique_ptr<FfmpegAudioFile> file(
      new FfmpegAudioFile(path, AudioFormat::standard(settings.sampleRate, settings.channelCount)));
  if (Status error = file->setUp(settings, aac, container)) {
    const bool created = file->fd_ >= 0;
    file.reset();  // closes the descriptor before the half-made file goes
    if (created) ::unlink(path.c_str());
    return *error;
  }
  return file;
}

FfmpegAudioFile::FfmpegAudioFile(std::string path, const AudioFormat& format)
    : path_(std::move(path)), format_(format), timeBase_{1, static_cast<int>(format.sampleRate)} {}

// The stream as the encoder describes it: the packets come from elsewhere.
Status FfmpegAudioFile::describeAac(AVCodecParameters& stream, const AacStream& aac) {
  stream.codec_type = AVMEDIA_TYPE_AUDIO;
  stream.codec_id = AV_CODEC_ID_AAC;
  stream.profile = FF_PROFILE_AAC_LOW;
  stream.format = AV_SAMPLE_FMT_FLTP;
  stream.sample_rate = static_cast<int>(aac.sampleRate);
  stream.frame_size = 1024;
  stream.bit_rate = aac.bitRate;
  stream.initial_padding = static_cast<int>(aac.priming);
  av_channel_layout_default(&stream.ch_layout, static_cast<int>(aac.channelCount));
  stream.extradata = static_cast<uint8_t*>(av_mallocz(aac.config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!stream.extradata) return ffmpegError(AVERROR(ENOMEM), "cannot describe the stream of " + path_);
  std::memcpy(stream.extradata, aac.config.data(), aac.config.size());
  stream.extradata_size = static_cast<int>(aac.config.size());
  return std::nullopt;
}

Status FfmpegAudioFile::setUp(const AudioSettings& settings, const AacStream* aac, const FileContainer& container) {
  const char* muxerName = aac ? container.aacMuxer : container.pcmMuxer;
  int ret = avformat_alloc_output_context2(&muxer_, nullptr, muxerName, nullptr);
  if (ret < 0 || !muxer_) return ffmpegError(ret, std::string("no ") + muxerName + " muxer for " + path_);
  AVStream* stream = avformat_new_stream(muxer_, nullptr);
  if (!stream) return ffmpegError(AVERROR(ENOMEM), "cannot add a stream to " + path_);
  stream->time_base = timeBase_;
  packet_ = av_packet_alloc();
  if (!packet_) return ffmpegError(AVERROR(ENOMEM), "cannot allocate a packet for " + path_);
  if (aac) {
    if (Status error = describeAac(*stream->codecpar, *aac)) return error;
  } else {
    describePcm(*stream->codecpar, settings);
  }

  // Everything that can fail without touching the disk has been done.
  if (Status error = openOutput()) return error;
  AVDictionary* options = nullptr;
  // The movie's edit list states the length without the encoder's priming
  // frames; at the default 1/1000 s it would be rounded, at 1/rate it is exact.
  if (container.exactLengthTimescale) av_dict_set_int(&options, "movie_timescale", timeBase_.den, 0);
  ret = avformat_write_header(muxer_, &options);
  av_dict_free(&options);
  if (ret < 0) return ffmpegError(ret, "cannot write the header of " + path_);
  headerWritten_ = true;
  return std::nullopt;
}

// 16-bit PCM needs no encoder: the interleaved samples are the packets.
void FfmpegAudioFile::describePcm(AVCodecParameters& stream, const AudioSettings& settings) {
  const int channels = static_cast<int>(format_.channelCount);
  stream.codec_type = AVMEDIA_TYPE_AUDIO;
  stream.codec_id = settings.isBigEndian ? AV_CODEC_ID_PCM_S16BE : AV_CODEC_ID_PCM_S16LE;
  stream.format = AV_SAMPLE_FMT_S16;
  stream.sample_rate = timeBase_.den;
  stream.bits_per_coded_sample = 16;
  stream.block_align = 2 * channels;
  stream.bit_rate = int64_t{16} * channels * timeBase_.den;
  av_channel_layout_default(&stream.ch_layout, channels);
  pcm_ = true;
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
  if (const int ret = av_write_trailer(muxer_); ret < 0) {
    status = ffmpegError(ret, "cannot write the end of " + path_);
  }
  if (io_) {
    avio_flush(io_);
    if (io_->error < 0 && !status) status = ffmpegError(io_->error, "cannot write the end of " + path_);
  }
  return status;
}

void FfmpegAudioFile::release() {
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
  if (!pcm_) return audioFileError(kUnsupportedSettings, path_ + " takes encoded AAC packets, not frames");
  if (buffer.format() != format_) {
    return audioFileError(kBufferFormatMismatch, "buffer format " + buffer.format().describe() +
                                                     " does not match " + format_.describe() + " of " + path_);
  }
  // PCM packets may be any size, so nothing waits for the next call.
  const uint32_t total = buffer.frameLength();
  const int frameBytes = 2 * static_cast<int>(format_.channelCount);
  for (uint32_t done = 0; done < total;) {
    const uint32_t frames = std::min(kPcmPacketFrames, total - done);
    const int ret = av_new_packet(packet_, static_cast<int>(frames) * frameBytes);
    if (ret < 0) return ffmpegError(ret, "cannot write to " + path_);
    interleaveToInt16(buffer, done, frames, reinterpret_cast<int16_t*>(packet_->data));
    packet_->pts = packet_->dts = frames_.load(std::memory_order_relaxed);
    packet_->duration = frames;
    done += frames;
    frames_.fetch_add(frames, std::memory_order_relaxed);
    if (Status error = mux(*packet_)) return error;
  }
  return std::nullopt;
}

Status FfmpegAudioFile::mux(AVPacket& packet) {
  packet.stream_index = 0;
  av_packet_rescale_ts(&packet, timeBase_, muxer_->streams[0]->time_base);
  const int ret = av_interleaved_write_frame(muxer_, &packet);
  if (ret < 0) return ffmpegError(ret, "cannot write to " + path_);
  return std::nullopt;
}

Status FfmpegAudioFile::append(const AacPacket& packet) {
  if (pcm_) return audioFileError(kUnsupportedSettings, path_ + " holds PCM, not AAC packets");
  const int ret = av_new_packet(packet_, static_cast<int>(packet.size));
  if (ret < 0) return ffmpegError(ret, "cannot write to " + path_);
  std::memcpy(packet_->data, packet.data, packet.size);
  packet_->pts = packet_->dts = packet.pts;
  packet_->duration = packet.duration;
  packet_->flags = packet.flags;
  return mux(*packet_);
}

Status FfmpegAudioFile::sync() {
  avio_flush(io_);
  if (io_->error < 0) return ffmpegError(io_->error, "cannot write to " + path_);
  if (::fsync(fd_) != 0) return posixError(errno, "cannot sync " + path_);
  return std::nullopt;
}

int FfmpegAudioFile::writeToFd(void* opaque, uint8_t* data, int size) {
  auto* self = static_cast<FfmpegAudioFile*>(opaque);
  const int failed = writeAll(self->fd_, data, static_cast<size_t>(size));
  if (failed) self->lastErrno_ = failed;
  return failed ? AVERROR(failed) : size;
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
