// AudioConverter over libswresample, for formats that differ: it lives in the
// FFmpeg module, so a recording whose devices run at the track's own format
// never maps libswresample, libavutil and what they bring. convert() runs on
// the capture thread: it allocates nothing of its own (plane pointers live in
// fixed arrays), and swresample reuses its internal buffers once they have
// grown to the largest block seen, which create() makes them do at once. Only
// flush() drains it, so the resampler's filter state runs on from one call to
// the next.
#include "platform/files/ffmpeg_audio_converter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/files/ffmpeg_error.h"

namespace orvane {
namespace {

// Channel counts with a standard layout (mono up to 7.1), whose down-mix
// matrix swresample can build itself.
constexpr uint32_t kMaxChannels = 8;
constexpr double kMaxRate = 768000;

AVSampleFormat sampleFormatOf(const AudioFormat& format) {
  const bool planar = !format.interleaved;
  switch (format.sampleType) {
    case SampleType::float32: return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
    case SampleType::float64: return planar ? AV_SAMPLE_FMT_DBLP : AV_SAMPLE_FMT_DBL;
    case SampleType::int16: return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
    case SampleType::int32: return planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
    case SampleType::uint8: return planar ? AV_SAMPLE_FMT_U8P : AV_SAMPLE_FMT_U8;
  }
  return AV_SAMPLE_FMT_NONE;
}

bool convertible(const AudioFormat& format) {
  return format.channelCount >= 1 && format.channelCount <= kMaxChannels && format.sampleRate >= 1 &&
         format.sampleRate <= kMaxRate && format.sampleRate == std::floor(format.sampleRate) &&
         sampleFormatOf(format) != AV_SAMPLE_FMT_NONE;
}

constexpr int64_t kDelayUnitsPerFrame = 1000;

std::array<const uint8_t*, kMaxChannels> filled(const uint8_t* pointer) {
  std::array<const uint8_t*, kMaxChannels> planes{};
  planes.fill(pointer);
  return planes;
}

class SwrAudioConverter final : public AudioConverter {
 public:
  SwrAudioConverter(SwrContext* context, const AudioFormat& from, const AudioFormat& to)
      : context_(context), from_(from), to_(to) {}
  ~SwrAudioConverter() override { swr_free(&context_); }

  Status convert(const PcmBuffer& input, PcmBuffer& output) override {
    if (input.format() != from_) return wrongFormat(output);
    std::array<const uint8_t*, kMaxChannels> in{};
    for (uint32_t i = 0; i < input.planeCount(); ++i) in[i] = input.plane(i);
    return run(in.data(), static_cast<int>(input.frameLength()), output);
  }

  // A non-null input, even of 0 frames, never drains the resampler.
  Status convertHeld(PcmBuffer& output) override { return run(held_.data(), 0, output); }

  Status flush(PcmBuffer& output) override { return run(nullptr, 0, output); }

  uint32_t maxOutputFrames(uint32_t inputFrames) const override {
    const int frames = swr_get_out_samples(context_, static_cast<int>(inputFrames));
    return frames > 0 ? static_cast<uint32_t>(frames) : 0;
  }

  double pendingOutputFrames() const override {
    // In thousandths of a frame: whole frames would leave up to one frame of
    // error in the time stamps that drift is measured from.
    const auto base = static_cast<int64_t>(to_.sampleRate) * kDelayUnitsPerFrame;
    return static_cast<double>(swr_get_delay(context_, base)) / kDelayUnitsPerFrame - skip_;
  }

  // After a warm-up: the silence still in the delay line is never given out.
  void skipHeldSilence() { skip_ = static_cast<uint32_t>(std::max(0L, std::lround(pendingOutputFrames()))); }

 private:
  Status run(const uint8_t** in, int inFrames, PcmBuffer& output) {
    output.setFrameLength(0);
    if (output.format() != to_) return wrongFormat(output);
    if (Status error = convertInto(in, inFrames, output)) return error;
    // Warm-up silence dropped from the head leaves room for what is held.
    while (skip_ > 0 && output.frameLength() > 0) {
      const uint32_t before = skip(output);
      if (Status error = convertInto(in ? held_.data() : nullptr, 0, output)) return error;
      if (output.frameLength() == before) break;
    }
    return std::nullopt;
  }

  // Appends to what `output` holds.
  Status convertInto(const uint8_t** in, int inFrames, PcmBuffer& output) {
    const uint32_t offset = output.frameLength();
    std::array<uint8_t*, kMaxChannels> out{};
    for (uint32_t i = 0; i < output.planeCount(); ++i) out[i] = output.plane(i) + offset * output.planeStride();
    const int produced =
        swr_convert(context_, out.data(), static_cast<int>(output.frameCapacity() - offset), in, inFrames);
    if (produced < 0) return ffmpegError(produced, "cannot convert audio");
    output.setFrameLength(offset + static_cast<uint32_t>(produced));
    return std::nullopt;
  }

  // Drops up to skip_ frames from the head; returns the frames left.
  uint32_t skip(PcmBuffer& output) {
    const uint32_t frames = std::min(skip_, output.frameLength());
    const size_t kept = (output.frameLength() - frames) * output.planeStride();
    for (uint32_t i = 0; i < output.planeCount(); ++i) {
      std::memmove(output.plane(i), output.plane(i) + frames * output.planeStride(), kept);
    }
    output.setFrameLength(output.frameLength() - frames);
    skip_ -= frames;
    return output.frameLength();
  }

  SwrContext* context_;
  AudioFormat from_;
  AudioFormat to_;
  uint32_t skip_ = 0;  // output frames of warm-up silence still to drop
  static constexpr uint8_t kNoByte = 0;
  std::array<const uint8_t*, kMaxChannels> held_ = filled(&kNoByte);  // 0 frames of input
};

// The largest call, then the held output given out as the track does it,
// in turn: swresample grows its buffers to what these need and never shrinks
// them. The first call finds no history in the resampler and later ones do,
// which takes more room: the sizes are set once a few calls have run.
constexpr int kWarmUpCalls = 3;

bool warmUp(SwrAudioConverter& converter, const AudioFormat& from, const AudioFormat& to,
            AudioConverter::Largest largest) {
  auto silence = PcmBuffer::create(from, largest.inputFrames);
  auto output = PcmBuffer::create(to, std::max<uint32_t>(1, largest.outputFrames));
  if (!silence || !output) return false;
  silence->clear(largest.inputFrames);
  for (int call = 0; call < kWarmUpCalls; ++call) {
    silence->setFrameLength(largest.inputFrames);
    if (converter.convert(*silence, *output)) return false;
    while (output->frameLength() == output->frameCapacity()) {
      if (converter.convertHeld(*output)) return false;
    }
  }
  converter.skipHeldSilence();
  return true;
}

}  // namespace

std::unique_ptr<AudioConverter> createFfmpegAudioConverter(const AudioFormat& from, const AudioFormat& to,
                                                           AudioConverter::Largest largest) {
  if (!convertible(from) || !convertible(to)) return nullptr;
  quietFfmpegLogging();
  AVChannelLayout inLayout{};
  AVChannelLayout outLayout{};
  av_channel_layout_default(&inLayout, static_cast<int>(from.channelCount));
  av_channel_layout_default(&outLayout, static_cast<int>(to.channelCount));
  SwrContext* context = nullptr;
  int ret = swr_alloc_set_opts2(&context, &outLayout, sampleFormatOf(to), static_cast<int>(to.sampleRate),
                                &inLayout, sampleFormatOf(from), static_cast<int>(from.sampleRate), 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  // A down-mix adds channels together; capping the matrix at 1.0 keeps a
  // full-scale in-phase pair at full scale instead of clipping.
  if (ret >= 0) ret = av_opt_set_double(context, "rematrix_maxval", 1.0, 0);
  if (ret >= 0) ret = swr_init(context);
  if (ret < 0) {
    swr_free(&context);
    return nullptr;
  }
  auto converter = std::make_unique<SwrAudioConverter>(context, from, to);
  if (largest.inputFrames > 0 && !warmUp(*converter, from, to, largest)) return nullptr;
  return converter;
}

}  // namespace orvane
