// The file: ftyp, then a free box and the media data, whose header is set at
// the close (a 64-bit one over the free box once it passes 4 GiB), then the
// movie. The sample tables are built at the close from the unnamed table
// file, read back in blocks; what stays in memory is two 64 KiB buffers and a
// few counters, whatever the number of packets.
#include "platform/files/m4a_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/files/private_file.h"

namespace orvane {
namespace {

constexpr size_t kBlockBytes = 64 * 1024;
// Packets in one chunk of the sample tables: under 400 kB of AAC at most.
constexpr int64_t kChunkPackets = 256;
constexpr int64_t kFreeAt = 28;  // after the ftyp
constexpr int64_t kDataStart = kFreeAt + 16;
constexpr uint32_t kUnity = 0x10000;
constexpr uint32_t kMatrix[9] = {kUnity, 0, 0, 0, kUnity, 0, 0, 0, 0x40000000};

}  // namespace

// A descriptor written through a buffer; the first failure is kept and every
// later call does nothing.
struct M4aWriter::Output {
  int fd;
  std::vector<uint8_t> buffer;
  int64_t flushed = 0;  // the file offset of buffer[0]
  int error = 0;

  explicit Output(int descriptor) : fd(descriptor) { buffer.reserve(kBlockBytes); }
  ~Output() { ::close(fd); }

  int64_t position() const { return flushed + static_cast<int64_t>(buffer.size()); }
  void bytes(const void* data, size_t size) {
    const auto* from = static_cast<const uint8_t*>(data);
    if (buffer.size() + size > kBlockBytes) flush();
    if (size > kBlockBytes) {
      if (!error) error = writeAll(fd, from, size);
      flushed += static_cast<int64_t>(size);
      return;
    }
    buffer.insert(buffer.end(), from, from + size);
  }
  void u8(uint8_t value) { bytes(&value, 1); }
  void u16(uint16_t value) { u8(value >> 8), u8(value & 0xff); }
  void u32(uint32_t value) { u16(value >> 16), u16(value & 0xffff); }
  void u64(uint64_t value) { u32(value >> 32), u32(value & 0xffffffff); }
  void text(const char* four) { bytes(four, 4); }
  void zeros(size_t count) {
    for (size_t i = 0; i < count; ++i) u8(0);
  }
  // A box whose size is set by end().
  int64_t begin(const char* type) {
    const int64_t at = position();
    u32(0);
    text(type);
    return at;
  }
  int64_t fullBox(const char* type, uint8_t version, uint32_t flags) {
    const int64_t at = begin(type);
    u32(static_cast<uint32_t>(version) << 24 | flags);
    return at;
  }
  void end(int64_t at) { put32(at, static_cast<uint32_t>(position() - at)); }
  // Overwrites four bytes written before.
  void put32(int64_t at, uint32_t value) {
    const uint8_t be[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
    if (at >= flushed) return void(std::memcpy(buffer.data() + (at - flushed), be, 4));
    flush();  // a part of them may still be in the buffer
    if (!error && ::pwrite(fd, be, 4, at) != 4) error = errno ? errno : EIO;
  }
  void flush() {
    if (!error) error = writeAll(fd, buffer.data(), buffer.size());
    flushed += static_cast<int64_t>(buffer.size());
    buffer.clear();
  }
  void cut(int64_t at) {
    flush();
    if (!error && (::ftruncate(fd, at) != 0 || ::lseek(fd, at, SEEK_SET) < 0)) error = errno;
    flushed = at;
  }
};

Result<std::unique_ptr<M4aWriter>> M4aWriter::create(const std::string& path, const AacStream& stream,
                                                     M4aBrand brand) {
  Result<int> fd = createPrivateFile(path);
  if (!fd) return fd.error();
  const int tables = openUnnamedBeside(path);
  if (tables < 0) {
    const int code = errno;
    ::close(*fd);
    ::unlink(path.c_str());
    return posixError(code, "cannot create a temporary file beside " + path);
  }
  std::unique_ptr<M4aWriter> writer(new M4aWriter(path, stream, brand, *fd, tables));
  Output& out = *writer->file_;
  const int64_t ftyp = out.begin("ftyp");
  out.text(brand == M4aBrand::m4a ? "M4A " : "isom");
  out.u32(0x200);
  out.text(brand == M4aBrand::m4a ? "M4A " : "isom");
  out.text(brand == M4aBrand::m4a ? "isom" : "iso2");
  out.text(brand == M4aBrand::m4a ? "iso2" : "mp41");
  out.end(ftyp);
  out.u32(8), out.text("free");
  out.u32(8), out.text("mdat");
  out.flush();
  if (const int code = out.error) {
    writer.reset();
    ::unlink(path.c_str());
    return posixError(code, "cannot write to " + path);
  }
  return writer;
}

M4aWriter::M4aWriter(std::string path, const AacStream& stream, M4aBrand brand, int fd, int tablesFd)
    : path_(std::move(path)), stream_(stream), brand_(brand), file_(std::make_unique<Output>(fd)),
      tables_(std::make_unique<Output>(tablesFd)) {}

M4aWriter::~M4aWriter() = default;

Error M4aWriter::failure(int code, const std::string& what) const { return posixError(code, what + " " + path_); }

Status M4aWriter::append(const AacPacket& packet) {
  if (closed_) return failure(EBADF, "cannot write to");
  if (packets_ == 0) firstPts_ = nextPts_ = packet.pts;
  file_->bytes(packet.data, packet.size);
  tables_->u32(static_cast<uint32_t>(packet.size));
  tables_->u32(static_cast<uint32_t>(packet.duration));
  ++packets_;
  mediaBytes_ += static_cast<int64_t>(packet.size);
  nextPts_ += packet.duration;
  if (file_->error || tables_->error) return failure(file_->error ? file_->error : tables_->error, "cannot write to");
  return std::nullopt;
}

Status M4aWriter::readTables(const std::function<void(uint32_t size, uint32_t duration)>& visit) {
  tables_->flush();
  std::vector<uint8_t> block(kBlockBytes);
  const int64_t total = packets_ * 8;
  for (int64_t at = 0; at < total && !tables_->error;) {
    const ssize_t n = ::pread(tables_->fd, block.data(), std::min<int64_t>(kBlockBytes, total - at), at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || n % 8 != 0) return failure(n < 0 ? errno : EIO, "cannot read back the sample sizes of");
    for (ssize_t i = 0; i < n; i += 8) {
      auto field = [&](ssize_t from) {
        return uint32_t(block[from]) << 24 | uint32_t(block[from + 1]) << 16 | uint32_t(block[from + 2]) << 8 |
               block[from + 3];
      };
      visit(field(i), field(i + 4));
    }
    at += n;
  }
  if (tables_->error) return failure(tables_->error, "cannot write to");
  return std::nullopt;
}

Status M4aWriter::dropFrom(int64_t pts) {
  if (closed_) return failure(EBADF, "cannot cut back");
  int64_t kept = 0, bytes = 0, at = firstPts_;
  bool cut = false;
  Status read = readTables([&](uint32_t size, uint32_t duration) {
    if (cut || at >= pts) {
      cut = true;
      return;
    }
    ++kept;
    bytes += size;
    at += duration;
  });
  if (read) return read;
  if (!cut) return std::nullopt;
  file_->cut(kDataStart + bytes);
  tables_->cut(kept * 8);
  packets_ = kept;
  mediaBytes_ = bytes;
  nextPts_ = at;
  if (file_->error || tables_->error) return failure(file_->error ? file_->error : tables_->error, "cannot cut back");
  return std::nullopt;
}

Status M4aWriter::sync() {
  file_->flush();
  if (!file_->error && ::fsync(file_->fd) != 0) file_->error = errno;
  if (file_->error) return failure(file_->error, "cannot write to");
  return std::nullopt;
}

Status M4aWriter::close() {
  if (closed_) return std::nullopt;
  closed_ = true;
  const uint64_t mdat = 8 + static_cast<uint64_t>(mediaBytes_);
  if (mdat <= UINT32_MAX) {
    file_->put32(kFreeAt + 8, static_cast<uint32_t>(mdat));
  } else {
    // The free box and the media data's header become one 64-bit header.
    file_->put32(kFreeAt, 1);
    file_->put32(kFreeAt + 4, 0x6d646174);  // "mdat"
    file_->put32(kFreeAt + 8, static_cast<uint32_t>((mdat + 8) >> 32));
    file_->put32(kFreeAt + 12, static_cast<uint32_t>(mdat + 8));
  }
  Status error = writeMovie();
  file_->flush();
  if (!error && file_->error) error = failure(file_->error, "cannot write the end of");
  return error;
}

Status M4aWriter::writeMovie() {
  Output& out = *file_;
  const auto rate = static_cast<uint32_t>(stream_.sampleRate);
  // The edit list hides the frames stamped before frame 0: the encoder's priming.
  const int64_t media = nextPts_ - firstPts_, priming = std::max<int64_t>(0, -firstPts_), shown = media - priming;
  const bool wide = static_cast<uint64_t>(media) > UINT32_MAX;
  const uint8_t version = wide ? 1 : 0;
  auto times = [&](int64_t duration, bool track) {  // creation, modification, then the scale or the track
    if (wide) out.u64(0), out.u64(0);
    else out.u32(0), out.u32(0);
    out.u32(track ? 1 : rate);
    if (track) out.u32(0);
    if (wide) out.u64(static_cast<uint64_t>(duration));
    else out.u32(static_cast<uint32_t>(duration));
  };
  auto matrix = [&] {
    for (uint32_t value : kMatrix) out.u32(value);
  };
  const int64_t avgBitRate = media > 0 ? mediaBytes_ * 8 * rate / media : 0;
  const auto maxBitRate = static_cast<uint32_t>(std::max(stream_.bitRate, avgBitRate));

  const int64_t moov = out.begin("moov");
  const int64_t mvhd = out.fullBox("mvhd", version, 0);
  times(shown, false);
  out.u32(kUnity), out.u16(0x100), out.zeros(10);
  matrix();
  out.zeros(24), out.u32(2);
  out.end(mvhd);
  const int64_t trak = out.begin("trak");
  const int64_t tkhd = out.fullBox("tkhd", version, 3);
  times(shown, true);
  out.zeros(8), out.u16(0), out.u16(1), out.u16(0x100), out.u16(0);
  matrix();
  out.u32(0), out.u32(0);
  out.end(tkhd);
  if (packets_ > 0) {
    const int64_t edts = out.begin("edts");
    const int64_t elst = out.fullBox("elst", version, 0);
    out.u32(1);
    if (wide) out.u64(static_cast<uint64_t>(shown)), out.u64(static_cast<uint64_t>(priming));
    else out.u32(static_cast<uint32_t>(shown)), out.u32(static_cast<uint32_t>(priming));
    out.u32(kUnity);
    out.end(elst);
    out.end(edts);
  }
  const int64_t mdia = out.begin("mdia");
  const int64_t mdhd = out.fullBox("mdhd", version, 0);
  times(media, false);
  out.u16(0x55c4), out.u16(0);  // language "und"
  out.end(mdhd);
  const int64_t hdlr = out.fullBox("hdlr", 0, 0);
  out.u32(0), out.text("soun"), out.zeros(12), out.bytes("SoundHandler", 13);
  out.end(hdlr);
  const int64_t minf = out.begin("minf");
  const int64_t smhd = out.fullBox("smhd", 0, 0);
  out.u32(0);
  out.end(smhd);
  const int64_t dinf = out.begin("dinf");
  const int64_t dref = out.fullBox("dref", 0, 0);
  out.u32(1), out.u32(12), out.text("url "), out.u32(1);
  out.end(dref);
  out.end(dinf);
  const int64_t stbl = out.begin("stbl");

  const int64_t stsd = out.fullBox("stsd", 0, 0);
  out.u32(1);
  const int64_t mp4a = out.begin("mp4a");
  out.zeros(6), out.u16(1), out.zeros(8);
  out.u16(static_cast<uint16_t>(stream_.channelCount)), out.u16(16), out.u32(0);
  out.u32(rate < 0x10000 ? rate << 16 : 0);
  const int64_t esds = out.fullBox("esds", 0, 0);
  const auto descriptor = [&](uint8_t tag, size_t length) {
    out.u8(tag), out.u8(0x80), out.u8(0x80), out.u8(0x80), out.u8(static_cast<uint8_t>(length));
  };
  const size_t config = stream_.config.size();
  descriptor(0x03, 3 + 5 + 13 + 5 + config + 5 + 1);
  out.u16(1), out.u8(0);
  descriptor(0x04, 13 + 5 + config);
  out.u8(0x40), out.u8(0x15), out.u8(0), out.u16(0);  // MPEG-4 audio, an audio stream, no buffer size
  out.u32(maxBitRate), out.u32(static_cast<uint32_t>(avgBitRate));
  descriptor(0x05, config);
  out.bytes(stream_.config.data(), config);
  descriptor(0x06, 1);
  out.u8(0x02);
  out.end(esds);
  if (brand_ == M4aBrand::mp4) {
    const int64_t btrt = out.begin("btrt");
    out.u32(0), out.u32(maxBitRate), out.u32(static_cast<uint32_t>(avgBitRate));
    out.end(btrt);
  }
  out.end(mp4a);
  out.end(stsd);

  // Runs of equal durations: one for all but the last packet or two.
  const int64_t stts = out.fullBox("stts", 0, 0);
  const int64_t runs = out.position();
  out.u32(0);
  uint32_t count = 0, runDuration = 0, runCount = 0;
  const auto endRun = [&] {
    if (count == 0) return;
    out.u32(count), out.u32(runDuration);
    ++runCount;
  };
  if (Status error = readTables([&](uint32_t, uint32_t duration) {
        if (count > 0 && duration == runDuration) return void(++count);
        endRun();
        count = 1;
        runDuration = duration;
      })) {
    return error;
  }
  endRun();
  out.put32(runs, runCount);
  out.end(stts);

  const int64_t chunks = (packets_ + kChunkPackets - 1) / kChunkPackets;
  const int64_t lastChunk = packets_ - (chunks - 1) * kChunkPackets;
  const int64_t stsc = out.fullBox("stsc", 0, 0);
  const bool uneven = chunks > 1 && lastChunk != kChunkPackets;
  out.u32(chunks == 0 ? 0 : uneven ? 2 : 1);
  if (chunks > 0) out.u32(1), out.u32(static_cast<uint32_t>(chunks > 1 ? kChunkPackets : lastChunk)), out.u32(1);
  if (uneven) out.u32(static_cast<uint32_t>(chunks)), out.u32(static_cast<uint32_t>(lastChunk)), out.u32(1);
  out.end(stsc);

  const int64_t stsz = out.fullBox("stsz", 0, 0);
  out.u32(0), out.u32(static_cast<uint32_t>(packets_));
  if (Status error = readTables([&](uint32_t size, uint32_t) { out.u32(size); })) return error;
  out.end(stsz);

  const bool wideOffsets = kDataStart + mediaBytes_ > UINT32_MAX;
  const int64_t stco = out.fullBox(wideOffsets ? "co64" : "stco", 0, 0);
  out.u32(static_cast<uint32_t>(chunks));
  int64_t index = 0, offset = kDataStart;
  if (Status error = readTables([&](uint32_t size, uint32_t) {
        if (index++ % kChunkPackets == 0) {
          if (wideOffsets) out.u64(static_cast<uint64_t>(offset));
          else out.u32(static_cast<uint32_t>(offset));
        }
        offset += size;
      })) {
    return error;
  }
  out.end(stco);

  if (packets_ > 0) {  // every packet needs the one before it decoded: a pre-roll of one
    const int64_t sgpd = out.fullBox("sgpd", 1, 0);
    out.text("roll"), out.u32(2), out.u32(1), out.u16(0xffff);
    out.end(sgpd);
    const int64_t sbgp = out.fullBox("sbgp", 0, 0);
    out.text("roll"), out.u32(1), out.u32(static_cast<uint32_t>(packets_)), out.u32(1);
    out.end(sbgp);
  }
  out.end(stbl);
  out.end(minf);
  out.end(mdia);
  out.end(trak);
  out.end(moov);
  return std::nullopt;
}

}  // namespace orvane
