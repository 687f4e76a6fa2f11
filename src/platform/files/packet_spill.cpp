// Packets are stored as a fixed header (time stamp, duration, flags, size)
// followed by their bytes, written and read back in 64 KiB blocks.
#include "platform/files/packet_spill.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/files/private_file.h"

namespace orvane {
namespace {

constexpr size_t kBlockBytes = 64 * 1024;

struct RecordHeader {
  int64_t pts;
  int64_t duration;
  int32_t flags;
  uint32_t size;
};

}  // namespace

Result<std::unique_ptr<PacketSpill>> PacketSpill::create(const std::string& outputPath) {
  const int fd = openUnnamedBeside(outputPath);
  if (fd < 0) return posixError(errno, "cannot create a temporary file beside " + outputPath);
  return std::unique_ptr<PacketSpill>(new PacketSpill(fd, outputPath));
}

PacketSpill::PacketSpill(int fd, std::string outputPath) : fd_(fd), outputPath_(std::move(outputPath)) {
  buffer_.reserve(kBlockBytes);
}

PacketSpill::~PacketSpill() { ::close(fd_); }

Error PacketSpill::failure(int code, const std::string& what) const {
  return posixError(code, "cannot " + what + " a temporary file beside " + outputPath_);
}

Status PacketSpill::append(const AacPacket& packet) {
  const RecordHeader header{packet.pts, packet.duration, packet.flags, static_cast<uint32_t>(packet.size)};
  if (buffer_.size() + sizeof header + packet.size > kBlockBytes) {
    if (Status error = writeBuffered()) return error;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
  buffer_.insert(buffer_.end(), bytes, bytes + sizeof header);
  buffer_.insert(buffer_.end(), packet.data, packet.data + packet.size);
  return std::nullopt;
}

Status PacketSpill::writeBuffered() {
  if (const int code = writeAll(fd_, buffer_.data(), buffer_.size())) return failure(code, "write to");
  buffer_.clear();
  return std::nullopt;
}

// Copies `bytes` bytes from the file into `into` through `block`. walk() knows
// where the file ends, so running out of bytes here is an error.
Status PacketSpill::readExactly(std::vector<uint8_t>& block, void* into, size_t bytes, size_t& buffered,
                                size_t& position) {
  auto* out = static_cast<uint8_t*>(into);
  while (bytes > 0) {
    if (position == buffered) {
      const ssize_t n = ::read(fd_, block.data(), block.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return failure(errno, "read back");
      if (n == 0) return failure(EIO, "read back the end of");
      buffered = static_cast<size_t>(n);
      position = 0;
    }
    const size_t take = std::min(bytes, buffered - position);
    std::memcpy(out, block.data() + position, take);
    out += take;
    position += take;
    bytes -= take;
  }
  return std::nullopt;
}

// Reads through a block of its own: buffer_ holds only appends, so that a
// later append never writes the bytes read back out again. Leaves the file
// positioned at its end, where appends go.
Status PacketSpill::walk(const std::function<bool(const AacPacket&, int64_t offset)>& visit) {
  if (Status error = writeBuffered()) return error;
  const off_t end = ::lseek(fd_, 0, SEEK_END);
  if (end < 0 || ::lseek(fd_, 0, SEEK_SET) < 0) return failure(errno, "rewind");
  std::vector<uint8_t> block(kBlockBytes), data;
  size_t buffered = 0, position = 0;
  for (off_t consumed = 0; consumed < end;) {
    RecordHeader header{};
    if (Status error = readExactly(block, &header, sizeof header, buffered, position)) return error;
    data.resize(header.size);
    if (Status error = readExactly(block, data.data(), data.size(), buffered, position)) return error;
    const off_t at = consumed;
    consumed += static_cast<off_t>(sizeof header + header.size);
    if (!visit(AacPacket{header.pts, header.duration, header.flags, data.data(), data.size()}, at)) break;
  }
  if (::lseek(fd_, 0, SEEK_END) < 0) return failure(errno, "rewind");
  return std::nullopt;
}

Status PacketSpill::replay(const AacPacketSink& sink) {
  Status failed;
  Status walked = walk([&](const AacPacket& packet, int64_t) {
    failed = sink(packet);
    return !failed;
  });
  return walked ? walked : failed;
}

Status PacketSpill::dropFrom(int64_t pts) {
  off_t cut = -1;
  Status walked = walk([&](const AacPacket& packet, int64_t at) {
    if (packet.pts >= pts) cut = static_cast<off_t>(at);
    return cut < 0;
  });
  if (walked) return walked;
  if (cut >= 0 && (::ftruncate(fd_, cut) != 0 || ::lseek(fd_, 0, SEEK_END) < 0)) return failure(errno, "cut back");
  return std::nullopt;
}

}  // namespace orvane
