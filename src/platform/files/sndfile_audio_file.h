// SndfileAudioFile: linear PCM files (CAF, WAV/RF64, AIFF) through libsndfile,
// written as 16-bit integer PCM (the tracks are read by caf_reader.h).
#pragma once

#include <sndfile.h>
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>

#include "platform/audio_file.h"

namespace orvane {

class SndfileAudioFile final : public AudioFile {
 public:
  // `sndfileFormat` is the major container format (SF_FORMAT_CAF, ...); the
  // settings have been checked to be 16-bit integer PCM.
  static Result<std::shared_ptr<AudioFile>> createForWriting(const std::string& path,
                                                             const AudioSettings& settings,
                                                             int sndfileFormat, WriteDurability durability);

  ~SndfileAudioFile() override;

  const AudioFormat& processingFormat() const override { return format_; }
  int64_t length() const override { return frames_.load(std::memory_order_relaxed); }
  Status write(const PcmBuffer& buffer) override;
  Result<int64_t> truncate(int64_t frame) override;
  Status sync() override;
  Status close() override;

 private:
  SndfileAudioFile(SNDFILE* file, int fd, const SF_INFO& info, std::string path);
  Error sndfileError(const std::string& what) const;
  Status writeDataSize();

  SNDFILE* file_;
  int fd_;
  AudioFormat format_;
  std::string path_;
  std::atomic<int64_t> frames_{0};
  off_t dataSizeAt_ = -1;  // a CAF being recorded: where its data chunk's size is rewritten
  std::unique_ptr<int16_t[]> shorts_;  // interleaved chunk being written
  // After a failed write libsndfile's own position is not to be trusted (its
  // automatic header update, where it is used, leaves it just past the
  // header): the next write seeks back to the end of what was written first.
  bool repositionBeforeWrite_ = false;
};

}  // namespace orvane
