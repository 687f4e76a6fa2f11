// One encoder, one spill, and the container written as the packets come: the
// same packets, in the same order, as the single pass writes.
#include "finalize/spilled_aac.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "finalize/packet_spill.h"
#include "finalize/parallel_encode.h"
#include "platform/files/aac_encoding.h"

namespace orvane {
namespace {

constexpr int64_t kAacFrame = 1024;
// The encoder gives a packet out once two frames past it went in.
constexpr int64_t kEncoderDelayFrames = 2 * kAacFrame;

class SpilledAac final : public AudioFile {
 public:
  SpilledAac(std::string path, const AudioSettings& settings, std::unique_ptr<AacEncoder> encoder,
             std::unique_ptr<PacketSpill> spill, std::shared_ptr<AudioFile> container)
      : path_(std::move(path)), settings_(settings), format_(AudioFormat::standard(settings.sampleRate, 2)),
        encoder_(std::move(encoder)), spill_(std::move(spill)), container_(std::move(container)) {}

  const AudioFormat& processingFormat() const override { return format_; }
  int64_t length() const override { return frames_; }
  Status read(PcmBuffer&, uint32_t) override { return posixError(EBADF, "cannot read from " + path_); }
  Status sync() override { return std::nullopt; }

  Status write(const PcmBuffer& buffer) override {
    if (!encoder_) return posixError(EBADF, "cannot write to " + path_);
    if (Status error = encoder_->encode(buffer, spillTo())) return error;
    frames_ += buffer.frameLength();
    return std::nullopt;
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
    container_.reset();  // it holds packets that go: the close writes the container from the spill
    if (Status error = spill_->dropFrom(keepFrom_)) return *error;
    const int64_t from = std::max<int64_t>(0, kept - aacSegmenting().prerollFrames);
    auto encoder = createAacEncoder(settings_, from);
    if (!encoder) return encoder.error();
    encoder_ = std::move(*encoder);
    frames_ = from;
    return from;
  }

  Status close() override {
    if (!encoder_) return std::nullopt;
    Status error = encoder_->flush(spillTo());
    encoder_.reset();
    if (!error && container_) error = container_->close();
    if (!error && !container_) error = writeContainer();
    container_.reset();
    spill_.reset();
    return error;
  }

 private:
  AacPacketSink spillTo() {
    return [this](const AacPacket& packet) -> Status {
      if (packet.pts < keepFrom_) return std::nullopt;
      if (Status error = spill_->append(packet)) return error;
      return container_ ? writeAacPacket(*container_, packet) : std::nullopt;
    };
  }

  Status writeContainer() {
    auto created = AudioFile::createForWriting(path_, settings_);
    if (!created) return created.error();
    AudioFile& output = **created;
    if (Status error = spill_->replay([&output](const AacPacket& packet) { return writeAacPacket(output, packet); })) {
      output.close();
      return error;
    }
    return output.close();
  }

  const std::string path_;
  const AudioSettings settings_;
  const AudioFormat format_;
  std::unique_ptr<AacEncoder> encoder_;
  std::unique_ptr<PacketSpill> spill_;  // every packet kept, for a cut-back
  // The packets so far in their container, under the finisher's own name, so
  // that the close only writes the container's end; gone after a cut-back.
  std::shared_ptr<AudioFile> container_;
  int64_t frames_ = 0;
  int64_t keepFrom_ = INT64_MIN;  // packets stamped before it are already in the spill
};

}  // namespace

Result<std::shared_ptr<AudioFile>> createSpilledAac(const std::string& path, const AudioSettings& settings) {
  auto encoder = createAacEncoder(settings, 0);
  if (!encoder) return encoder.error();
  auto spill = PacketSpill::create(path);
  if (!spill) return spill.error();
  auto container = AudioFile::createForWriting(path, settings);
  if (!container) return container.error();
  return std::shared_ptr<AudioFile>(
      std::make_shared<SpilledAac>(path, settings, std::move(*encoder), std::move(*spill), std::move(*container)));
}

}  // namespace orvane
