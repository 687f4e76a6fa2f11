// libsndfile-backed files. A CAF being recorded is written so that a writer
// killed at any moment leaves a file every reader takes whole: libsndfile writes
// each chunk straight to the descriptor (no user-space buffer), and after each
// write the data chunk's size is written in place (one 8-byte write; libsndfile's
// own SFC_SET_UPDATE_HEADER_AUTO rebuilds the whole header with a stat and
// three seeks each time, its fallback here). Without that, an unclosed CAF reads
// as 0 frames in libsndfile and sox.
#include "platform/files/sndfile_audio_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/files/file_container.h"
#include "platform/audio/pcm_quantize.h"
#include "platform/files/private_file.h"

namespace orvane {
namespace {

constexpr const char* kSndfileDomain = "sndfile";
// A track's append (one ring slot) in one write: the header is rewritten after
// every write, so fewer, larger writes cost fewer system calls.
constexpr uint32_t kWriteChunkFrames = 16384;

int endianFlag(int major, const AudioSettings& settings) {
  // WAV and AIFF have one byte order each; CAF can hold both.
  if (major != SF_FORMAT_CAF) return SF_ENDIAN_FILE;
  return settings.isBigEndian ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE;
}


uint64_t bigEndian64(const unsigned char* bytes) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | bytes[i];
  return value;
}

// Where the size of a fresh CAF's data chunk lies: after the 8-byte file
// header, chunks of a 4-byte type and a big-endian 64-bit size. -1 if not found.
off_t cafDataSizeOffset(int fd) {
  unsigned char header[8192];
  const ssize_t got = ::pread(fd, header, sizeof header, 0);
  for (ssize_t at = 8; got > 0 && at + 12 <= got;) {
    const uint64_t size = bigEndian64(header + at + 4);
    if (std::equal(header + at, header + at + 4, "data")) return at + 4;
    if (size > static_cast<uint64_t>(got)) break;
    at += 12 + static_cast<ssize_t>(size);
  }
  return -1;
}

}  // namespace

Result<std::shared_ptr<AudioFile>> SndfileAudioFile::createForWriting(const std::string& path,
                                                                      const AudioSettings& settings,
                                                                      int sndfileFormat,
                                                                      WriteDurability durability) {
  SF_INFO info{};
  info.samplerate = static_cast<int>(settings.sampleRate);
  info.channels = static_cast<int>(settings.channelCount);
  info.format = sndfileFormat | SF_FORMAT_PCM_16 | endianFlag(sndfileFormat, settings);
  if (!sf_format_check(&info)) {
    return audioFileError(kUnsupportedSettings, "libsndfile cannot write these settings to " + path);
  }

  auto fd = createPrivateFile(path);
  if (!fd) return fd.error();
  // The crash-tolerant CAF needs read-write mode: libsndfile only rewrites the
  // header in place when it may read it back. The descriptor stays ours so a
  // failed open closes it exactly once.
  const bool durable = sndfileFormat == SF_FORMAT_CAF && durability == WriteDurability::everyWrite;
  SNDFILE* file = sf_open_fd(*fd, durable ? SFM_RDWR : SFM_WRITE, &info, SF_FALSE);
  if (!file) {
    Error error{kSndfileDomain, sf_error(nullptr), "cannot create " + path + ": " + sf_strerror(nullptr)};
    ::close(*fd);
    ::unlink(path.c_str());
    return error;
  }
  const off_t dataSizeAt = durable ? cafDataSizeOffset(*fd) : -1;
  if (durable && dataSizeAt < 0) sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
  if (sndfileFormat == SF_FORMAT_RF64) sf_command(file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);

  std::shared_ptr<SndfileAudioFile> audioFile(new SndfileAudioFile(file, *fd, info, path));
  audioFile->dataSizeAt_ = dataSizeAt;
  // Left uninitialized: only what a write fills is ever touched (resident).
  audioFile->shorts_.reset(new int16_t[static_cast<size_t>(kWriteChunkFrames) * settings.channelCount]);
  return std::shared_ptr<AudioFile>(std::move(audioFile));
}

SndfileAudioFile::SndfileAudioFile(SNDFILE* file, int fd, const SF_INFO& info, std::string path)
    : file_(file),
      fd_(fd),
      format_(AudioFormat::standard(info.samplerate, static_cast<uint32_t>(info.channels))),
      path_(std::move(path)) {}

SndfileAudioFile::~SndfileAudioFile() { close(); }

Status SndfileAudioFile::close() {
  if (!file_) return std::nullopt;
  const int sndfileStatus = sf_close(file_);
  file_ = nullptr;
  const int fdStatus = fd_ >= 0 ? ::close(fd_) : 0;
  const int fdErrno = errno;
  fd_ = -1;
  if (sndfileStatus != 0) {
    return Error{kSndfileDomain, sndfileStatus, "cannot finish " + path_ + ": " + sf_error_number(sndfileStatus)};
  }
  if (fdStatus != 0 && fdErrno != EINTR) return posixError(fdErrno, "cannot close " + path_);
  return std::nullopt;
}

Error SndfileAudioFile::sndfileError(const std::string& what) const {
  return Error{kSndfileDomain, sf_error(file_), what + " " + path_ + ": " + sf_strerror(file_)};
}

Status SndfileAudioFile::write(const PcmBuffer& buffer) {
  if (buffer.format() != format_) {
    return audioFileError(kBufferFormatMismatch, "buffer format " + buffer.format().describe() +
                                                     " does not match " + format_.describe() + " of " + path_);
  }
  // Without this, a full disk fails one write in a while and the others
  // "succeed" by overwriting the start of the track.
  if (repositionBeforeWrite_) {
    const sf_count_t end = frames_.load(std::memory_order_relaxed);
    if (sf_seek(file_, end, SEEK_SET | SFM_WRITE) != end) return sndfileError("cannot seek in");
    repositionBeforeWrite_ = false;
  }
  const uint32_t total = buffer.frameLength();
  for (uint32_t done = 0; done < total;) {
    const uint32_t frames = std::min(kWriteChunkFrames, total - done);
    interleaveToInt16(buffer, done, frames, shorts_.get());
    const sf_count_t written = sf_writef_short(file_, shorts_.get(), frames);
    if (written > 0) frames_.fetch_add(written, std::memory_order_relaxed);
    if (written != static_cast<sf_count_t>(frames)) {
      repositionBeforeWrite_ = true;
      const Error error = sndfileError("cannot write to");
      writeDataSize();
      return error;
    }
    done += frames;
  }
  return writeDataSize();
}

// The data chunk holds a 4-byte edit count, then the frames.
Status SndfileAudioFile::writeDataSize() {
  if (dataSizeAt_ < 0) return std::nullopt;
  const uint64_t size = 4 + static_cast<uint64_t>(length()) * 2 * format_.channelCount;
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(size >> (56 - 8 * i));
  if (::pwrite(fd_, bytes, sizeof bytes, dataSizeAt_) != static_cast<ssize_t>(sizeof bytes)) {
    return posixError(errno, "cannot update the length in the header of " + path_);
  }
  return std::nullopt;
}

// Also moves the write position to the new end.
Result<int64_t> SndfileAudioFile::truncate(int64_t frame) {
  sf_count_t end = std::clamp<sf_count_t>(frame, 0, length());
  if (sf_command(file_, SFC_FILE_TRUNCATE, &end, sizeof end) != 0) return sndfileError("cannot cut back");
  frames_.store(end, std::memory_order_relaxed);
  if (Status error = writeDataSize()) return *error;
  return end;
}

Status SndfileAudioFile::sync() {
  if (::fsync(fd_) != 0) return posixError(errno, "cannot sync " + path_);
  return std::nullopt;
}

}  // namespace orvane
