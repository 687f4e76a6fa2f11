// AudioFile: an audio file opened for writing (from a settings set, container
// chosen by the path's extension) or for reading in the processing format.
// Abstract so that tests can put a failing or stalled disk behind it.
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio/audio_format.h"
#include "platform/error.h"
#include "platform/audio/pcm_buffer.h"

namespace orvane {

enum class AudioFormatId : uint32_t {
  linearPCM = 0x6c70636d,  // 'lpcm'
  mpeg4AAC = 0x61616320,   // 'aac '
};

// The encoding of a file on disk. Buffers are always written and read in the
// processing format: 32-bit float, non-interleaved, at sampleRate/channelCount.
struct AudioSettings {
  AudioFormatId formatId = AudioFormatId::linearPCM;
  double sampleRate = 48000;
  uint32_t channelCount = 1;
  uint32_t bitDepth = 16;
  bool isFloat = false;
  bool isBigEndian = false;
  bool isNonInterleaved = false;
};

// A CAF that is being recorded keeps its header current after every write,
// so a writer killed at any moment leaves a whole file. Scratch files that can
// be made again from such tracks skip that cost.
enum class WriteDurability { everyWrite, atClose };

class AudioFile {
 public:
  virtual ~AudioFile() = default;

  // Creates or truncates the file. The container follows the last extension
  // (.wav .aif .aiff .caf for linear PCM; .m4a .mp4 .mov .3gp .aac .adts .mkv
  // .mka for AAC). Files are created 0600 and never through a symlink.
  static Result<std::shared_ptr<AudioFile>> createForWriting(
      const std::string& path, const AudioSettings& settings,
      WriteDurability durability = WriteDurability::everyWrite);
  static Result<std::shared_ptr<AudioFile>> openForReading(const std::string& path);

  virtual const AudioFormat& processingFormat() const = 0;
  // Frames in the file; for a file being written, every frame appended so far.
  virtual int64_t length() const = 0;
  // Appends buffer.frameLength() frames; the buffer must be in the processing format.
  virtual Status write(const PcmBuffer& buffer) = 0;
  // Reads up to frameCount frames from the current position into `into`
  // (processing format) and sets its frame length; 0 frames means the end.
  // A file opened for writing reads nothing.
  virtual Status read(PcmBuffer& into, uint32_t) {
    into.setFrameLength(0);
    return posixError(EBADF, "cannot read from a file being written");
  }
  // Moves the read position to `frame` (from the start). Inline so that this
  // class keeps no key function: the FFmpeg module derives from it too.
  virtual Status seek(int64_t frame) { return posixError(ESPIPE, "cannot seek to frame " + std::to_string(frame)); }
  // Drops the frames from `frame` on (at most length()) so that they can be
  // written again; returns the frame the next write is taken as, earlier than
  // `frame` when an encoder must be fed the audio before it again.
  virtual Result<int64_t> truncate(int64_t frame) {
    return posixError(ESPIPE, "cannot cut back to frame " + std::to_string(frame));
  }
  // Forces what was written so far to storage.
  virtual Status sync() = 0;

  // Finishes the file (the encoder's last frames, the trailer, the final
  // header) and releases it; nothing may be called on it afterwards. A file
  // not closed is finished when it dies, with any error lost, so every writer
  // whose result matters closes it. A second close does nothing.
  virtual Status close() = 0;
};

// What createForWriting checks before it touches the disk, without touching
// it: the extension, the encoding, that the path is no symlink or other
// non-file in a writable folder, and that the writer it needs is installed
// (found, not loaded). For refusing an output before a recording starts.
Status checkCanCreate(const std::string& path, const AudioSettings& settings);

// 16-bit signed little-endian interleaved linear PCM at `sampleRate` with `channelCount` channels.
AudioSettings linearPCM16Settings(double sampleRate, uint32_t channelCount);

// True when the path's container can hold 16-bit linear PCM (.wav .caf .aif .aiff .mov).
bool containerHoldsLinearPCM(const std::string& path);

}  // namespace orvane
