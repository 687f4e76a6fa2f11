// A small CAF reader: the file header, the chunks up to 'data', and linear
// PCM samples (8 to 32-bit integers or 32-bit floats, either byte order)
// read with pread, so nothing but the bytes that exist is trusted.
#include "platform/files/caf_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/files/file_container.h"
#include "platform/files/private_file.h"

namespace orvane {

namespace {

constexpr uint32_t kFormatIsFloat = 1;
constexpr uint32_t kFormatIsLittleEndian = 2;
constexpr uint32_t kChunkFrames = 8192;

uint64_t bigEndian(const uint8_t* bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

struct CafLayout {
  double sampleRate = 0;
  uint32_t flags = 0;
  uint32_t bytesPerFrame = 0;
  uint32_t channels = 0;
  uint32_t bits = 0;
  int64_t dataOffset = -1;
  int64_t frames = 0;
};

bool readAt(int fd, void* into, size_t size, int64_t offset) {
  return ::pread(fd, into, size, offset) == static_cast<ssize_t>(size);
}

// Walks the chunks; the audio is whatever the file holds after 'data' began,
// whatever the chunk's size says.
bool parseLayout(int fd, int64_t fileSize, CafLayout& layout) {
  uint8_t header[8];
  if (!readAt(fd, header, sizeof header, 0) || std::memcmp(header, "caff", 4) != 0) return false;
  bool described = false;
  for (int64_t at = 8; at + 12 <= fileSize;) {
    uint8_t chunk[12];
    if (!readAt(fd, chunk, sizeof chunk, at)) return false;
    const auto size = static_cast<int64_t>(bigEndian(chunk + 4, 8));
    if (std::memcmp(chunk, "desc", 4) == 0) {
      uint8_t desc[32];
      if (size < 32 || !readAt(fd, desc, sizeof desc, at + 12)) return false;
      layout.sampleRate = std::bit_cast<double>(bigEndian(desc, 8));
      if (std::memcmp(desc + 8, "lpcm", 4) != 0) return false;
      layout.flags = static_cast<uint32_t>(bigEndian(desc + 12, 4));
      layout.bytesPerFrame = static_cast<uint32_t>(bigEndian(desc + 16, 4));
      layout.channels = static_cast<uint32_t>(bigEndian(desc + 24, 4));
      layout.bits = static_cast<uint32_t>(bigEndian(desc + 28, 4));
      described = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!described) return false;
      layout.dataOffset = at + 12 + 4;  // past the edit count
      break;
    }
    if (size < 0) return false;
    at += 12 + size;
  }
  const bool sane = layout.dataOffset > 0 && layout.channels >= 1 && layout.channels <= 8 &&
                    layout.sampleRate >= 1 && layout.sampleRate <= 768000 &&
                    layout.bytesPerFrame == layout.channels * (layout.bits / 8) &&
                    (layout.flags & kFormatIsFloat ? layout.bits == 32 : layout.bits >= 8 && layout.bits <= 32 &&
                                                                            layout.bits % 8 == 0);
  if (!sane) return false;
  layout.frames = std::max<int64_t>(0, (fileSize - layout.dataOffset) / layout.bytesPerFrame);
  return true;
}

float sampleAt(const uint8_t* at, const CafLayout& layout) {
  const uint32_t bytes = layout.bits / 8;
  uint32_t raw = 0;
  for (uint32_t i = 0; i < bytes; ++i) {
    const uint32_t byte = at[layout.flags & kFormatIsLittleEndian ? bytes - 1 - i : i];
    raw = (raw << 8) | byte;
  }
  if (layout.flags & kFormatIsFloat) return std::bit_cast<float>(raw);
  const auto value = static_cast<int32_t>(raw << (32 - layout.bits));  // sign-extended, scaled to 32 bits
  return static_cast<float>(value) / 2147483648.0f;
}

class CafFile final : public AudioFile {
 public:
  CafFile(int fd, const CafLayout& layout, std::string path, bool growing)
      : fd_(fd), layout_(layout), format_(AudioFormat::standard(layout.sampleRate, layout.channels)),
        path_(std::move(path)), bytes_(static_cast<size_t>(kChunkFrames) * layout.bytesPerFrame),
        growing_(growing) {}
  ~CafFile() override { close(); }

  const AudioFormat& processingFormat() const override { return format_; }
  int64_t length() const override {
    struct stat info{};
    if (growing_ && fd_ >= 0 && ::fstat(fd_, &info) == 0) {
      layout_.frames = std::max<int64_t>(0, (info.st_size - layout_.dataOffset) / layout_.bytesPerFrame);
    }
    return layout_.frames;
  }
  Status seek(int64_t frame) override {
    if (frame < 0 || frame > length()) return posixError(EINVAL, "cannot seek in " + path_);
    position_ = frame;
    return std::nullopt;
  }
  Status write(const PcmBuffer&) override { return posixError(EBADF, "cannot write to " + path_); }
  Status sync() override { return std::nullopt; }
  Status close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return std::nullopt;
  }

  Status read(PcmBuffer& into, uint32_t frameCount) override {
    into.setFrameLength(0);
    if (into.format() != format_) {
      return audioFileError(kBufferFormatMismatch, "buffer format does not match " + format_.describe());
    }
    const auto wanted = static_cast<uint32_t>(
        std::min<int64_t>({frameCount, into.frameCapacity(), kChunkFrames, length() - position_}));
    if (wanted == 0) return std::nullopt;
    const ssize_t got = ::pread(fd_, bytes_.data(), wanted * layout_.bytesPerFrame,
                                layout_.dataOffset + position_ * layout_.bytesPerFrame);
    if (got < 0) return posixError(errno, "cannot read from " + path_);
    const auto frames = static_cast<uint32_t>(got / layout_.bytesPerFrame);
    if (isTrackLayout()) {
      readTrackSamples(frames, into.floatChannelData(0));
      position_ += frames;
      into.setFrameLength(frames);
      return std::nullopt;
    }
    const uint32_t sampleBytes = layout_.bits / 8;
    for (uint32_t f = 0; f < frames; ++f) {
      for (uint32_t c = 0; c < layout_.channels; ++c) {
        into.floatChannelData(c)[f] = sampleAt(&bytes_[f * layout_.bytesPerFrame + c * sampleBytes], layout_);
      }
    }
    position_ += frames;
    into.setFrameLength(frames);
    return std::nullopt;
  }

 private:
  // Mono 16-bit little-endian, the tracks' own layout: read as a recording
  // grows, so converted without the general path's per-byte loop (to the
  // same values).
  bool isTrackLayout() const {
    return layout_.channels == 1 && layout_.bits == 16 && !(layout_.flags & kFormatIsFloat) &&
           (layout_.flags & kFormatIsLittleEndian);
  }
  void readTrackSamples(uint32_t frames, float* to) const {
    for (uint32_t f = 0; f < frames; ++f) {
      const auto value = static_cast<int16_t>(bytes_[2 * f] | (bytes_[2 * f + 1] << 8));
      to[f] = static_cast<float>(value) / 32768.0f;
    }
  }

  int fd_;
  mutable CafLayout layout_;  // a growing file's frames follow its size
  AudioFormat format_;
  std::string path_;
  std::vector<uint8_t> bytes_;
  const bool growing_;
  int64_t position_ = 0;
};

}  // namespace

Result<std::shared_ptr<AudioFile>> openCafForReading(const std::string& path, bool growing) {
  Result<int> fd = openRegularForReading(path);
  if (!fd) return fd.error();
  struct stat info{};
  CafLayout layout;
  if (::fstat(*fd, &info) != 0 || !parseLayout(*fd, info.st_size, layout)) {
    ::close(*fd);
    return posixError(EINVAL, "cannot read " + path + ": no linear PCM CAF data in it");
  }
  return std::shared_ptr<AudioFile>(std::make_shared<CafFile>(*fd, layout, path, growing));
}

}  // namespace orvane
