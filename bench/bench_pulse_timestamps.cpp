// How good are the microphone's time stamps? Records from the sound server's
// microphone (the default source, as the engine picks it) and prints the worst
// error, in ppm of the nominal rate, over any 120 s window: of the published
// stamps and of the raw arrival stamps, both by a least-squares fit of stamp
// against frame index per window and by the window's first and last stamp
// (which is how a recording's rate is measured).
//
//   bench_pulse_timestamps [SECONDS=130] [--dump FILE]
//
// The source must run on the host clock for the figures to be errors: a
// null-sink monitor (through module-remap-source) or module-sine-source rate=50000.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/pulse/pulse_audio_engine.h"

using namespace orvane;

namespace {

constexpr double kWindowSeconds = 120.0;
constexpr double kWindowStepSeconds = 1.0;

struct Sample {
  int64_t frame;
  double raw;
  double published;
};

struct Worst {
  double fitPpm = 0;
  double endpointPpm = 0;
  int windows = 0;
};

Worst worstWindows(const std::vector<Sample>& samples, double rate, double Sample::*field) {
  Worst worst;
  const double windowFrames = kWindowSeconds * rate;
  size_t begin = 0;
  for (;;) {
    const int64_t first = samples[begin].frame;
    size_t end = begin;
    while (end < samples.size() && static_cast<double>(samples[end].frame - first) <= windowFrames) ++end;
    if (end == samples.size()) break;
    // Least squares of (stamp − first stamp) on (frame − first frame), in local units.
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    const double n = static_cast<double>(end - begin);
    for (size_t i = begin; i < end; ++i) {
      const double x = static_cast<double>(samples[i].frame - first) / rate;
      const double y = samples[i].*field - samples[begin].*field - x;  // residual from nominal
      sx += x; sy += y; sxx += x * x; sxy += x * y;
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    worst.fitPpm = std::max(worst.fitPpm, std::abs(slope) * 1e6);
    const Sample& last = samples[end - 1];
    const double elapsed = last.*field - samples[begin].*field;
    const double nominal = static_cast<double>(last.frame - first) / rate;
    worst.endpointPpm = std::max(worst.endpointPpm, std::abs(elapsed / nominal - 1) * 1e6);
    ++worst.windows;
    const double next = static_cast<double>(first) + kWindowStepSeconds * rate;
    while (begin < samples.size() && static_cast<double>(samples[begin].frame) < next) ++begin;
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 130;
  const char* dumpPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc) {
      dumpPath = argv[++i];
    } else {
      seconds = std::atof(argv[i]);
    }
  }
  std::vector<Sample> samples;
  samples.reserve(static_cast<size_t>(seconds * 200) + 1024);
  PulseAudioEngine engine;
  int changes = 0;
  engine.setConfigurationChangeHandler([&changes] { ++changes; });
  engine.setRawStampObserver([&samples](int64_t frame, double raw, double published) {
    if (samples.size() < samples.capacity()) samples.push_back({frame, raw, published});
  });
  const AudioFormat format = engine.inputFormat();
  if (auto error = engine.start()) {
    std::fprintf(stderr, "cannot start: %s\n", error->description.c_str());
    return 1;
  }
  std::printf("recording %.0f s from the microphone: %s\n", seconds, format.describe().c_str());
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  engine.stop();
  if (changes > 0) std::printf("warning: %d configuration changes during the run\n", changes);
  if (dumpPath) {
    if (FILE* out = std::fopen(dumpPath, "w")) {
      for (const auto& s : samples) std::fprintf(out, "%lld %.9f %.9f\n", static_cast<long long>(s.frame), s.raw, s.published);
      std::fclose(out);
    }
  }
  if (samples.size() < 2) {
    std::fprintf(stderr, "no data\n");
    return 1;
  }
  const double rate = format.sampleRate;
  const double span = static_cast<double>(samples.back().frame - samples.front().frame) / rate;
  std::printf("chunks %zu, %.1f s of frames, stamp-model restarts %lld\n", samples.size(), span,
              static_cast<long long>(engine.timestampRestarts()));
  const Worst published = worstWindows(samples, rate, &Sample::published);
  const Worst raw = worstWindows(samples, rate, &Sample::raw);
  std::printf("worst 120 s window over %d windows (ppm vs nominal %g Hz):\n", published.windows, rate);
  std::printf("  published  fit %8.3f   first-last %8.3f\n", published.fitPpm, published.endpointPpm);
  std::printf("  raw        fit %8.3f   first-last %8.3f\n", raw.fitPpm, raw.endpointPpm);
  return 0;
}
