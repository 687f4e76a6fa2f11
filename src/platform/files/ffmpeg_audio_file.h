// FfmpegAudioFile: files written through FFmpeg (libavformat + libavcodec):
// AAC in the MPEG-4 family, ADTS and Matroska, and 16-bit PCM in QuickTime.
// Built into the orvane_ffmpeg module, not the core: callers reach it through
// the module's table (ffmpeg_module.h), so only the module links those libraries.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/audio_file.h"
#include "platform/files/aac_encoding.h"
#include "platform/files/file_container.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;

namespace orvane {

// Both AAC writers' step into the encoder: the frame filled so far (or, to
// flush, none) goes in and is emptied; avcodec_send_frame's result.
int sendFilledFrame(AVCodecContext* encoder, AVFrame* frame, uint32_t& fill, int64_t& nextPts, bool flush);

class FfmpegAudioFile final : public AudioFile {
 public:
  // The settings have been checked against the container.
  static Result<std::shared_ptr<AudioFile>> createForWriting(const std::string& path,
                                                             const AudioSettings& settings,
                                                             const FileContainer& container);

  // Closes the file if nobody did; errors at this point are lost.
  ~FfmpegAudioFile() override;

  const AudioFormat& processingFormat() const override { return format_; }
  // Frames handed to write(), whether or not the encoder has emitted them yet.
  int64_t length() const override { return frames_.load(std::memory_order_relaxed); }
  Status write(const PcmBuffer& buffer) override;
  Status read(PcmBuffer& into, uint32_t frameCount) override;
  Status sync() override;
  // Flushes the encoder (the last partial frame included), writes the
  // trailer and the buffered bytes, and reports the first failure.
  Status close() override;
  // Muxes a packet from an AacEncoder (aac_encoding.h) instead of encoding
  // frames; for an AAC file that write() has not been used on.
  Status writeEncoded(const AacPacket& packet);

 private:
  FfmpegAudioFile(std::string path, const AudioFormat& format);
  Status setUp(const AudioSettings& settings, const FileContainer& container);
  Status openOutput();
  void fillFrame(const PcmBuffer& buffer, uint32_t first, uint32_t frames);
  Status sendFrame(bool flush);
  Error ffmpegError(int code, const std::string& what) const;
  Status finishStream();
  void release();

  static int writeToFd(void* opaque, uint8_t* data, int size);
  static int64_t seekFd(void* opaque, int64_t offset, int whence);

  std::string path_;
  AudioFormat format_;
  bool pcm_ = false;
  int fd_ = -1;
  int lastErrno_ = 0;  // errno of the last failed write or seek on fd_
  bool headerWritten_ = false;
  AVFormatContext* muxer_ = nullptr;
  AVCodecContext* encoder_ = nullptr;
  AVIOContext* io_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  uint32_t frameSize_ = 0;  // frames per encoder frame
  uint32_t frameFill_ = 0;  // frames waiting in frame_
  int64_t nextPts_ = 0;
  std::atomic<int64_t> frames_{0};
};

}  // namespace orvane
