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
// null-sink monitor (through module-remap-source), module-sine-source
// rate=50000, or a pipe source fed by paced_pipe_writer; scripts/bench-timestamps.sh
// sets these up. --dump writes each chunk's frame index, raw and published
// stamp, for bench_timestamp_replay.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/pulse/pulse_record_stream.h"
#include "stamp_windows.h"

using namespace orvane;

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
  std::vector<StampSample> samples;
  samples.reserve(static_cast<size_t>(seconds * 200) + 1024);
  PulseRecordStream engine(std::make_shared<PulseClient>(), InputRole::microphone);
  int changes = 0;
  engine.setChangeHandler([&changes] { ++changes; });
  engine.setRawStampObserver([&samples](int64_t frame, double raw, double published) {
    if (samples.size() < samples.capacity()) samples.push_back({frame, raw, published});
  });
  const AudioFormat format = engine.format();
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
  const WorstWindow published = worstStampWindows(samples, rate, &StampSample::published);
  const WorstWindow raw = worstStampWindows(samples, rate, &StampSample::raw);
  std::printf("worst 120 s window over %d windows (ppm vs nominal %g Hz):\n", published.windows, rate);
  std::printf("  published  fit %8.3f   first-last %8.3f\n", published.fitPpm, published.endpointPpm);
  std::printf("  raw        fit %8.3f   first-last %8.3f\n", raw.fitPpm, raw.endpointPpm);
  return 0;
}
