// Drift-resampler benchmark. `make <path> <seconds>` writes a mono 48 kHz
// 16-bit CAF of pink-ish noise; `run <in> <out> <ratio>` resamples it the way the
// finisher does and prints wall time and peak RSS. scripts/bench-resample.sh runs
// it beside sox on the same file.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "finalize/span_resampler.h"
#include "platform/audio_file.h"

using namespace orvane;

namespace {

AudioSettings trackSettings() { return AudioSettings{}; }  // 48 kHz mono 16-bit linear PCM

int make(const std::string& path, double seconds) {
  auto file = AudioFile::createForWriting(path, trackSettings());
  if (!file) return std::fprintf(stderr, "%s\n", file.error().description.c_str()), 1;
  auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 1), 8192);
  std::mt19937 random(7);
  std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
  float smooth = 0;
  for (auto left = static_cast<int64_t>(seconds * 48000); left > 0; left -= 8192) {
    const auto n = static_cast<uint32_t>(std::min<int64_t>(left, 8192));
    for (uint32_t i = 0; i < n; ++i) buffer->floatChannelData(0)[i] = smooth = 0.9f * smooth + noise(random);
    buffer->setFrameLength(n);
    if (file.value()->write(*buffer)) return 1;
  }
  return 0;
}

int run(const std::string& in, const std::string& out, double ratio) {
  const auto begin = std::chrono::steady_clock::now();
  auto source = AudioFile::openForReading(in);
  if (!source) return std::fprintf(stderr, "%s\n", source.error().description.c_str()), 1;
  auto destination = AudioFile::createForWriting(out, trackSettings());
  if (!destination) return std::fprintf(stderr, "%s\n", destination.error().description.c_str()), 1;
  AudioFile& file = **source;
  auto chunk = PcmBuffer::create(file.processingFormat(), 8192);
  SpanResampler resampler(
      [&](float* into, uint32_t frames) -> uint32_t {
        if (file.read(*chunk, frames)) return 0;
        std::copy_n(chunk->floatChannelData(0), chunk->frameLength(), into);
        return chunk->frameLength();
      },
      [&](int64_t frame) { return !file.seek(frame); });
  resampler.end(file.length(), ratio);
  auto output = PcmBuffer::create(file.processingFormat(), 8192);
  int64_t frames = 0;
  while (const uint32_t made = resampler.read(output->floatChannelData(0), 8192)) {
    output->setFrameLength(made);
    if ((*destination)->write(*output)) return std::fprintf(stderr, "write failed\n"), 1;
    frames += made;
  }
  if ((*destination)->close()) return std::fprintf(stderr, "close failed\n"), 1;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("frames=%lld wall_s=%.3f peak_rss_kb=%ld\n", static_cast<long long>(frames), wall,
              usage.ru_maxrss);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "make" && argc == 4) return make(argv[2], std::atof(argv[3]));
  if (verb == "run" && argc == 5) return run(argv[2], argv[3], std::atof(argv[4]));
  std::fprintf(stderr, "usage: bench_resample make <path> <seconds> | run <in> <out> <ratio>\n");
  return 64;
}
