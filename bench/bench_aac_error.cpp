// How far encoded outputs are from their source: each file is decoded by the
// ffmpeg CLI and compared, frame by frame, with the two temporary tracks it
// was made from (microphone left, system audio right, no head alignment, as
// bench_finalize interleaves them). Streams both, so any length fits.
//
//   bench_aac_error <dir> <file> ...   compares each file with <dir>/rec.mic.caf and rec.sys.caf
// Prints, per file and channel, the RMS error and the signal-to-error ratio.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio_file.h"

namespace {

using namespace orvane;

constexpr uint32_t kChunkFrames = 8192;

// One source track, read on demand; silence after its end.
class Track {
 public:
  explicit Track(const std::string& path) {
    auto opened = AudioFile::openForReading(path);
    if (!opened) {
      std::fprintf(stderr, "%s\n", opened.error().description.c_str());
      return;
    }
    file_ = std::move(*opened);
    buffer_ = PcmBuffer::create(file_->processingFormat(), kChunkFrames);
  }
  bool ok() const { return buffer_ != nullptr; }

  const float* next(uint32_t frames) {
    samples_.assign(frames, 0.0f);
    if (!file_->read(*buffer_, frames)) {
      std::copy_n(buffer_->floatChannelData(0), buffer_->frameLength(), samples_.begin());
    }
    return samples_.data();
  }

 private:
  std::shared_ptr<AudioFile> file_;
  std::unique_ptr<PcmBuffer> buffer_;
  std::vector<float> samples_;
};

struct Sums {
  double signal[2] = {0, 0};
  double error[2] = {0, 0};
  int64_t frames = 0;
};

bool compare(const std::string& dir, const std::string& file, Sums& sums) {
  Track mic(dir + "/rec.mic.caf"), sys(dir + "/rec.sys.caf");
  if (!mic.ok() || !sys.ok()) return false;
  FILE* decoded = popen(("ffmpeg -nostdin -v error -i '" + file + "' -f f32le -ac 2 -").c_str(), "r");
  if (!decoded) return false;
  std::vector<float> stereo(2 * kChunkFrames);
  for (size_t got; (got = std::fread(stereo.data(), 2 * sizeof(float), kChunkFrames, decoded)) > 0;) {
    const float* source[2] = {mic.next(static_cast<uint32_t>(got)), sys.next(static_cast<uint32_t>(got))};
    for (size_t i = 0; i < got; ++i) {
      for (int channel = 0; channel < 2; ++channel) {
        const double error = stereo[2 * i + channel] - source[channel][i];
        sums.signal[channel] += static_cast<double>(source[channel][i]) * source[channel][i];
        sums.error[channel] += error * error;
      }
    }
    sums.frames += static_cast<int64_t>(got);
  }
  return pclose(decoded) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <dir> <encoded file> ...\n", argv[0]);
    return 64;
  }
  for (int i = 2; i < argc; ++i) {
    Sums sums;
    if (!compare(argv[1], argv[i], sums)) {
      std::fprintf(stderr, "cannot compare %s with the tracks in %s\n", argv[i], argv[1]);
      return 1;
    }
    const auto frames = static_cast<double>(sums.frames);
    std::printf("%s: %lld frames decoded; error RMS left %.6f, right %.6f; signal to error left %.2f dB, right %.2f dB\n",
                argv[i], static_cast<long long>(sums.frames), std::sqrt(sums.error[0] / frames),
                std::sqrt(sums.error[1] / frames), 10 * std::log10(sums.signal[0] / sums.error[0]),
                10 * std::log10(sums.signal[1] / sums.error[1]));
  }
  return 0;
}
