// FfmpegAudioFile: files written through FFmpeg's muxers (libavformat):
// 16-bit PCM in QuickTime, its samples the packets, and the packets of an AAC
// encoder in QuickTime, 3GPP, ADTS or Matroska (the MPEG-4 files are ours).
// Built into the orvane_ffmpeg module, not the core: callers reach it through
// the module's table (ffmpeg_module.h), so only the module links those libraries.
#pragma once

#include <atomic>
#include <memory>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

#include "platform/audio_file.h"
#include "platform/files/aac_encoding.h"
#include "platform/files/file_container.h"

struct AVCodecParameters;
struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

namespace orvane {

class FfmpegAudioFile final : public AudioFile, public AacContainer {
 public:
  // 16-bit PCM; the settings have been checked against the container.
  static Result<std::shared_ptr<AudioFile>> createForWriting(const std::string& path,
                                                             const AudioSettings& settings,
                                                             const FileContainer& container);
  // The packets of an AAC encoder that describes its stream so.
  static Result<std::unique_ptr<AacContainer>> createAacMuxer(const std::string& path, const AacStream& stream,
                                                              const FileContainer& container);

  // Closes the file if nobody did; errors at this point are lost.
  ~FfmpegAudioFile() override;

  const AudioFormat& processingFormat() const override { return format_; }
  // Frames handed to write(), whether or not the encoder has emitted them yet.
  int64_t length() const override { return frames_.load(std::memory_order_relaxed); }
  Status write(const PcmBuffer& buffer) override;
  Status sync() override;
  // Flushes the encoder, writes the trailer and the buffered bytes, and
  // reports the first failure.
  Status close() override;
  Status append(const AacPacket& packet) override;
  Status dropFrom(int64_t) override { return posixError(ESPIPE, "cannot cut back " + path_); }

 private:
  static Result<std::unique_ptr<FfmpegAudioFile>> create(const std::string& path, const AudioSettings& settings,
                                                         const AacStream* aac, const FileContainer& container);
  FfmpegAudioFile(std::string path, const AudioFormat& format);
  Status setUp(const AudioSettings& settings, const AacStream* aac, const FileContainer& container);
  void describePcm(AVCodecParameters& stream, const AudioSettings& settings);
  Status describeAac(AVCodecParameters& stream, const AacStream& aac);
  Status openOutput();
  Status mux(AVPacket& packet);
  Error ffmpegError(int code, const std::string& what) const;
  Status finishStream();
  void release();

  static int writeToFd(void* opaque, uint8_t* data, int size);
  static int64_t seekFd(void* opaque, int64_t offset, int whence);

  std::string path_;
  AudioFormat format_;
  AVRational timeBase_;  // 1 / the sample rate
  int fd_ = -1;
  int lastErrno_ = 0;  // errno of the last failed write or seek on fd_
  bool headerWritten_ = false;
  AVFormatContext* muxer_ = nullptr;
  AVIOContext* io_ = nullptr;
  AVPacket* packet_ = nullptr;
  bool pcm_ = false;  // frames written, else AAC packets appended
  std::atomic<int64_t> frames_{0};
};

}  // namespace orvane
