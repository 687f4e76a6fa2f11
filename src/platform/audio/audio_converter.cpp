// AudioConverter::create: a plain copy when the formats match, the sinc
// resampler for mono float at another rate (what the sound server's streams
// deliver), else the FFmpeg module's converter, loaded on first need. The
// first two keep libswresample and the ~15 libraries libavutil maps off a
// recording.
#include "platform/audio/audio_converter.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/audio/sinc_resampler.h"
#include "platform/files/ffmpeg_module_loader.h"

namespace orvane {
namespace {

// Same format in and out: frames are copied; what does not fit the output
// waits in buffers sized at creation for the largest call.
class CopyConverter final : public AudioConverter {
 public:
  CopyConverter(const AudioFormat& from, const AudioFormat& to, uint32_t largestInput)
      : from_(from), to_(to), stride_(bytesPerSample(from.sampleType) * (from.interleaved ? from.channelCount : 1)),
        held_(from.interleaved ? 1 : from.channelCount) {
    for (auto& plane : held_) plane.reserve(static_cast<size_t>(largestInput) * stride_);
  }

  Status convert(const PcmBuffer& input, PcmBuffer& output) override {
    if (input.format() != from_ || output.format() != to_) return wrongFormat(output);
    convertHeld(output);
    const uint32_t offset = output.frameLength();
    const uint32_t frames = std::min(input.frameLength(), output.frameCapacity() - offset);
    for (uint32_t p = 0; p < input.planeCount(); ++p) {
      std::memcpy(output.plane(p) + offset * stride_, input.plane(p), frames * stride_);
      const uint8_t* rest = input.plane(p) + frames * stride_;
      held_[p].insert(held_[p].end(), rest, rest + (input.frameLength() - frames) * stride_);
    }
    output.setFrameLength(offset + frames);
    return std::nullopt;
  }

  Status convertHeld(PcmBuffer& output) override {
    const auto frames = static_cast<uint32_t>(std::min<size_t>(heldFrames(), output.frameCapacity()));
    for (uint32_t p = 0; p < held_.size() && frames > 0; ++p) {
      std::memcpy(output.plane(p), held_[p].data(), frames * stride_);
      held_[p].erase(held_[p].begin(), held_[p].begin() + static_cast<ptrdiff_t>(frames * stride_));
    }
    output.setFrameLength(frames);
    return std::nullopt;
  }

  Status flush(PcmBuffer& output) override { return convertHeld(output); }

  uint32_t maxOutputFrames(uint32_t inputFrames) const override {
    return inputFrames + static_cast<uint32_t>(heldFrames());
  }

 private:
  size_t heldFrames() const { return stride_ ? held_[0].size() / stride_ : 0; }

  AudioFormat from_;
  AudioFormat to_;
  size_t stride_;  // bytes of one frame in one plane
  // Frames that did not fit the last output, a buffer per plane; within
  // the size reserved at creation they allocate nothing.
  std::vector<std::vector<uint8_t>> held_;
};

// The same bytes in the same places: one channel is laid out alike,
// interleaved or not.
bool sameLayout(const AudioFormat& from, const AudioFormat& to) {
  return from.sampleRate == to.sampleRate && from.channelCount == to.channelCount &&
         from.sampleType == to.sampleType && (from.interleaved == to.interleaved || from.channelCount == 1);
}

}  // namespace

std::unique_ptr<AudioConverter> AudioConverter::create(const AudioFormat& from, const AudioFormat& to,
                                                       Largest largest) {
  if (sameLayout(from, to)) {
    if (from.channelCount == 0 || from.sampleRate <= 0) return nullptr;
    return std::make_unique<CopyConverter>(from, to, largest.inputFrames);
  }
  if (auto resampler = SincResampler::create(from, to, largest.inputFrames)) return resampler;
  Result<const FfmpegModule*> module = ffmpegModule();
  if (!module) return nullptr;
  return (*module)->createAudioConverter(from, to, largest);
}

}  // namespace orvane
