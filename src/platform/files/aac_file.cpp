// The encoder, its container and the cut-back. A container that cannot cut
// back (FFmpeg's muxers) keeps every packet in an unnamed spill too, and
// after a cut-back is written again from it at the close.
#include "platform/files/aac_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/files/ffmpeg_module_loader.h"
#include "platform/files/m4a_writer.h"
#include "platform/files/packet_spill.h"

namespace orvane {
namespace {

constexpr int64_t kAacFrame = 1024;
// The encoder gives a packet out once two frames past it went in.
constexpr int64_t kEncoderDelayFrames = 2 * kAacFrame;

Result<std::unique_ptr<AacContainer>> createMuxer(const std::string& path, const AacStream& stream,
                                                  const FileContainer& container) {
  Result<const FfmpegModule*> module = ffmpegModule();
  if (!module) return module.error();
  return (*module)->createAacMuxer(path, stream, container);
}

class RewrittenContainer final : public AacContainer {
 public:
  RewrittenContainer(std::string path, AacStream stream, const FileContainer& container,
                     std::unique_ptr<PacketSpill> spill, std::unique_ptr<AacContainer> muxer)
      : path_(std::move(path)), stream_(std::move(stream)), container_(container), spill_(std::move(spill)),
        muxer_(std::move(muxer)) {}

  Status append(const AacPacket& packet) override {
    if (Status error = spill_->append(packet)) return error;
    return muxer_ ? muxer_->append(packet) : std::nullopt;
  }
  Status dropFrom(int64_t pts) override {
    muxer_.reset();  // it holds packets that go: the close writes the container from the spill
    return spill_->dropFrom(pts);
  }
  Status sync() override { return muxer_ ? muxer_->sync() : std::nullopt; }
  Status close() override {
    if (!muxer_) {
      auto muxer = createMuxer(path_, stream_, container_);
      if (!muxer) return muxer.error();
      muxer_ = std::move(*muxer);
      if (Status error = spill_->replay([this](const AacPacket& packet) { return muxer_->append(packet); })) {
        muxer_->close();
        return error;
      }
    }
    return muxer_->close();
  }

 private:
  const std::string path_;
  const AacStream stream_;
  const FileContainer container_;
  std::unique_ptr<PacketSpill> spill_;
  std::unique_ptr<AacContainer> muxer_;
};

Result<std::unique_ptr<AacContainer>> createContainer(const std::string& path, const AacStream& stream,
                                                      const FileContainer& container) {
  const std::string muxer = container.aacMuxer;
  if (muxer == "ipod" || muxer == "mp4") {
    auto writer = M4aWriter::create(path, stream, muxer == "ipod" ? M4aBrand::m4a : M4aBrand::mp4);
    if (!writer) return writer.error();
    return std::unique_ptr<AacContainer>(std::move(*writer));
  }
  auto spill = PacketSpill::create(path);
  if (!spill) return spill.error();
  auto created = createMuxer(path, stream, container);
  if (!created) return created.error();
  return std::unique_ptr<AacContainer>(
      std::make_unique<RewrittenContainer>(path, stream, container, std::move(*spill), std::move(*created)));
}

class AacFile final : public AudioFile {
 public:
  AacFile(std::string path, const AudioSettings& settings, std::unique_ptr<AacEncoder> encoder,
          std::unique_ptr<AacContainer> container)
      : path_(std::move(path)), settings_(settings), format_(AudioFormat::standard(settings.sampleRate, settings.channelCount)),
        encoder_(std::move(encoder)), container_(std::move(container)) {}
  ~AacFile() override { close(); }

  const AudioFormat& processingFormat() const override { return format_; }
  int64_t length() const override { return frames_; }
  Status sync() override { return container_ ? container_->sync() : std::nullopt; }

  Status write(const PcmBuffer& buffer) override {
    if (!encoder_) return posixError(EBADF, "cannot write to " + path_);
    if (Status error = encoder_->encode(buffer, keep())) return error;
    frames_ += buffer.frameLength();
    return std::nullopt;
  }

  Status writePacket(const AacPacket& packet) {
    if (!container_) return posixError(EBADF, "cannot write to " + path_);
    return container_->append(packet);
  }

  // Packets from an AAC frame at or before `frame` go, and a new encoder is
  // fed from a pre-roll before it, as a segment of the parallel encode is: its
  // packets from that frame on join the kept ones without a seam, and its
  // flush ends the file at the exact length.
  Result<int64_t> truncate(int64_t frame) override {
    if (!encoder_) return posixError(EBADF, "cannot cut back " + path_);
    const int64_t kept = std::max<int64_t>(0, std::min(frame, frames_ - kEncoderDelayFrames) / kAacFrame * kAacFrame);
    keepFrom_ = kept == 0 ? INT64_MIN : kept;  // from the start: the new encoder's priming too
    encoder_.reset();
    if (Status error = container_->dropFrom(keepFrom_)) return *error;
    const int64_t from = std::max<int64_t>(0, kept - kAacPrerollFrames);
    auto encoder = createAacEncoder(settings_, from);
    if (!encoder) return encoder.error();
    encoder_ = std::move(*encoder);
    frames_ = from;
    return from;
  }

  Status close() override {
    if (!encoder_) return std::nullopt;
    Status error = encoder_->flush(keep());
    encoder_.reset();
    if (Status closed = container_->close(); closed && !error) error = closed;
    container_.reset();
    return error;
  }

 private:
  AacPacketSink keep() {
    return [this](const AacPacket& packet) -> Status {
      return packet.pts < keepFrom_ ? std::nullopt : container_->append(packet);
    };
  }

  const std::string path_;
  const AudioSettings settings_;
  const AudioFormat format_;
  std::unique_ptr<AacEncoder> encoder_;
  std::unique_ptr<AacContainer> container_;
  int64_t frames_ = 0;
  int64_t keepFrom_ = INT64_MIN;  // packets stamped before it are in the container already
};

}  // namespace

Result<std::shared_ptr<AudioFile>> createAacFile(const std::string& path, const AudioSettings& settings,
                                                 const FileContainer& container) {
  auto encoder = createAacEncoder(settings, 0);
  if (!encoder) return encoder.error();
  auto made = createContainer(path, (*encoder)->stream(), container);
  if (!made) return made.error();
  return std::shared_ptr<AudioFile>(
      std::make_shared<AacFile>(path, settings, std::move(*encoder), std::move(*made)));
}

Status writeAacPacket(AudioFile& output, const AacPacket& packet) {
  auto* file = dynamic_cast<AacFile*>(&output);
  if (!file) return posixError(EINVAL, "encoded AAC packets go only into an AAC output");
  return file->writePacket(packet);
}

}  // namespace orvane
