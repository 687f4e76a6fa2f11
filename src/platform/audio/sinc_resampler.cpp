// SincResampler: the filter table, and output frames computed from the
// history of input frames.
#include "platform/audio/sinc_resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

namespace orvane {
namespace {

// Zero crossings of the sinc on each side of an output position, at the
// lower of the two rates: with the Blackman window, images and aliases stay
// below -70 dB outside the band kept.
constexpr int kZeroCrossings = 16;
// The band kept, as a share of the lower rate's Nyquist frequency: 21 kHz of
// 22.05 for a 44.1 kHz device.
constexpr double kPassband = 0.95;
constexpr int64_t kMaxTableFloats = 1 << 16;

// Four floats in one register: the filter runs two of them side by side, so
// each add need not wait for the one before it.
using Float4 = float __attribute__((vector_size(16)));

Float4 load4(const float* at) {
  Float4 value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

bool monoFloat(const AudioFormat& format) {
  return format.channelCount == 1 && format.sampleType == SampleType::float32 && format.sampleRate >= 1 &&
         format.sampleRate == std::floor(format.sampleRate) && format.sampleRate <= 768000;
}

double blackman(double x) {  // x in [-1, 1]
  return 0.42 + 0.5 * std::cos(M_PI * x) + 0.08 * std::cos(2 * M_PI * x);
}

}  // namespace

std::unique_ptr<SincResampler> SincResampler::create(const AudioFormat& from, const AudioFormat& to,
                                                     uint32_t largestInput) {
  if (!monoFloat(from) || !monoFloat(to) || from.sampleRate == to.sampleRate) return nullptr;
  const auto in = static_cast<int64_t>(from.sampleRate);
  const auto out = static_cast<int64_t>(to.sampleRate);
  const int64_t common = std::gcd(in, out);
  const double cutoff = std::min(1.0, static_cast<double>(out) / static_cast<double>(in));
  // A multiple of four, so the taps come in eights.
  const int half = (static_cast<int>(std::ceil(kZeroCrossings / cutoff)) + 3) & ~3;
  if (out / common * 2 * half > kMaxTableFloats) return nullptr;
  std::unique_ptr<SincResampler> resampler(new SincResampler(from, to, out / common, in / common, half));
  resampler->buildTable(cutoff * kPassband);
  resampler->history_.reserve(static_cast<size_t>(largestInput) + 4 * static_cast<size_t>(half));
  return resampler;
}

SincResampler::SincResampler(const AudioFormat& from, const AudioFormat& to, int64_t up, int64_t down, int half)
    : from_(from), to_(to), up_(up), down_(down), half_(half), history_(static_cast<size_t>(half - 1), 0.0f),
      historyStart_(1 - half) {}

// Phase p computes the output at input position i + p / up_ from input
// frames i - half_ + 1 ... i + half_. Each phase sums to one, so no phase
// is louder than another.
void SincResampler::buildTable(double cutoff) {
  const int taps = 2 * half_;
  table_.resize(static_cast<size_t>(up_) * static_cast<size_t>(taps));
  for (int64_t phase = 0; phase < up_; ++phase) {
    float* row = table_.data() + phase * taps;
    double sum = 0;
    for (int j = 0; j < taps; ++j) {
      const double t = (j - half_ + 1) - static_cast<double>(phase) / static_cast<double>(up_);
      const double x = cutoff * t;
      const double sinc = x == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
      const double value = sinc * blackman(t / half_);
      row[j] = static_cast<float>(value);
      sum += value;
    }
    for (int j = 0; j < taps; ++j) row[j] = static_cast<float>(row[j] / sum);
  }
}

// Output k sits at input position k * down_ / up_ and needs input up to
// half_ frames past it: the count of k with k * down_ < (inputEnd - half_) * up_.
int64_t SincResampler::outputsBefore(int64_t inputEnd) const {
  const int64_t bound = (inputEnd - (ended_ ? 0 : half_)) * up_;
  return bound > 0 ? (bound + down_ - 1) / down_ : 0;
}

uint32_t SincResampler::maxOutputFrames(uint32_t inputFrames) const {
  return static_cast<uint32_t>(std::max<int64_t>(0, outputsBefore(fed_ + inputFrames) - produced_));
}

double SincResampler::pendingOutputFrames() const {
  return static_cast<double>(fed_) * static_cast<double>(up_) / static_cast<double>(down_) -
         static_cast<double>(produced_);
}

Status SincResampler::convert(const PcmBuffer& input, PcmBuffer& output) {
  if (input.format() != from_ || output.format() != to_) return wrongFormat(output);
  // One channel: interleaved or not, the one plane holds the samples.
  const auto* samples = reinterpret_cast<const float*>(input.plane(0));
  history_.insert(history_.end(), samples, samples + input.frameLength());
  fed_ += input.frameLength();
  return convertHeld(output);
}

Status SincResampler::convertHeld(PcmBuffer& output) {
  if (output.format() != to_) return wrongFormat(output);
  produce(output, outputsBefore(fed_));
  return std::nullopt;
}

// The input ends: what follows it is silence, so every output position up
// to the last input frame can be computed.
Status SincResampler::flush(PcmBuffer& output) {
  if (!ended_) {
    ended_ = true;
    history_.insert(history_.end(), static_cast<size_t>(half_), 0.0f);
  }
  return convertHeld(output);
}

void SincResampler::produce(PcmBuffer& output, int64_t limit) {
  const auto count = static_cast<uint32_t>(
      std::clamp<int64_t>(limit - produced_, 0, static_cast<int64_t>(output.frameCapacity())));
  auto* out = reinterpret_cast<float*>(output.plane(0));
  const int taps = 2 * half_;
  // The output's input position is frame + phase / up_; stepping it by
  // down_ / up_ frames needs no division per output.
  int64_t frame = produced_ * down_ / up_;
  int64_t phase = produced_ * down_ % up_;
  const int64_t frameStep = down_ / up_, phaseStep = down_ % up_;
  for (uint32_t n = 0; n < count; ++n) {
    const float* coefficients = table_.data() + phase * taps;
    const float* x = history_.data() + (frame - half_ + 1 - historyStart_);
    Float4 a{}, b{};
    for (int j = 0; j < taps; j += 8) {
      a += load4(x + j) * load4(coefficients + j);
      b += load4(x + j + 4) * load4(coefficients + j + 4);
    }
    const Float4 sum = a + b;
    out[n] = (sum[0] + sum[1]) + (sum[2] + sum[3]);
    frame += frameStep;
    phase += phaseStep;
    if (phase >= up_) {
      phase -= up_;
      ++frame;
    }
  }
  output.setFrameLength(count);
  produced_ += count;
  // Input before the next output's first tap is never read again.
  const int64_t keepFrom = std::min<int64_t>(produced_ * down_ / up_ - half_ + 1, historyStart_ + static_cast<int64_t>(history_.size()));
  if (keepFrom > historyStart_) {
    history_.erase(history_.begin(), history_.begin() + (keepFrom - historyStart_));
    historyStart_ = keepFrom;
  }
}

}  // namespace orvane
