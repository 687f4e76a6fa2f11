// One encoder, one spill, and the container written at the close: the same
// packets, in the same order, as the single pass writes.
#include "finalize/spilled_aac.h"

#include <cerrno>

#include "finalize/packet_spill.h"
#include "platform/files/aac_encoding.h"

namespace orvane {
namespace {

class SpilledAac final : public AudioFile {
 public:
  SpilledAac(std::string path, const AudioSettings& settings, std::unique_ptr<AacEncoder> encoder,
             std::unique_ptr<PacketSpill> spill)
      : path_(std::move(path)), settings_(settings), format_(AudioFormat::standard(settings.sampleRate, 2)),
        encoder_(std::move(encoder)), spill_(std::move(spill)) {}

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

  Status close() override {
    if (!encoder_) return std::nullopt;
    Status error = encoder_->flush(spillTo());
    encoder_.reset();
    if (!error) error = spill_->finishWriting();
    if (!error) error = writeContainer();
    spill_.reset();
    return error;
  }

 private:
  AacPacketSink spillTo() {
    return [this](const AacPacket& packet) { return spill_->append(packet); };
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
  std::unique_ptr<PacketSpill> spill_;
  int64_t frames_ = 0;
};

}  // namespace

Result<std::shared_ptr<AudioFile>> createSpilledAac(const std::string& path, const AudioSettings& settings) {
  auto encoder = createAacEncoder(settings, 0);
  if (!encoder) return encoder.error();
  auto spill = PacketSpill::create(path);
  if (!spill) return spill.error();
  return std::shared_ptr<AudioFile>(
      std::make_shared<SpilledAac>(path, settings, std::move(*encoder), std::move(*spill)));
}

}  // namespace orvane
