// Cost of a stop whose two tracks both need drift correction: the drift step
// (measurement, two corrected copies, the sidecar) and the interleave into a
// WAV output, in-process, with the process's peak resident set size.
// scripts/bench-stop.sh runs it beside `sox -M` of the raw tracks.
//
//   bench_stop generate <dir> <seconds>   writes <dir>/rec.mic.caf (+50 ppm) and rec.sys.caf (-50 ppm)
//   bench_stop stop <dir> <seconds>       sets the counters a run of that length leaves, then
//                                         corrects and interleaves into <dir>/rec.wav
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/audio_file.h"
#include "synthetic_track.h"
#include "recorder/recorder.h"
#include "support/sim_backend.h"

namespace {

using namespace orvane;

constexpr double kRate = 48000;
constexpr double kMicPpm = 50;
constexpr double kSystemPpm = -50;
constexpr double kSystemStartsAfterSeconds = 0.25;  // so the stop writes a head-alignment lead too
constexpr uint32_t kWriteFrames = 4800;             // what the writers append per buffer, about 100 ms

int64_t deviceFrames(double seconds, double ppm) { return std::llround(seconds * kRate * (1 + ppm * 1e-6)); }

using bench::generateTrack;

int generate(const std::string& dir, double seconds) {
  const bool ok = generateTrack(dir + "/rec.mic.caf", deviceFrames(seconds, kMicPpm), 1000, 1) &&
                  generateTrack(dir + "/rec.sys.caf", deviceFrames(seconds, kSystemPpm), 440, 2);
  return ok ? 0 : 1;
}

// The counters the writers leave after `seconds` of a device `ppm` off, its
// first buffer at active second `startSeconds`: the last buffer appended began
// one buffer before the track's end.
void setCounters(std::optional<double>& start, int64_t& startFrames, std::optional<double>& last, int64_t& lastFrames,
                 double startSeconds, double seconds, double ppm) {
  start = startSeconds;
  startFrames = 0;
  lastFrames = deviceFrames(seconds, ppm) - kWriteFrames;
  last = startSeconds + static_cast<double>(lastFrames) / (kRate * (1 + ppm * 1e-6));
}

double peakRssMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024;
}

int stop(const std::string& dir, double seconds) {
  sim::SimBackend backend{sim::Scenario{}};
  MainLoop loop;
  Recorder recorder(dir + "/rec.wav", Recorder::Mode::both, false, true, backend, loop);
  setCounters(recorder.micStartSeconds, recorder.micStartFrames, recorder.micLastHostSeconds, recorder.micLastFrames,
              0.0, seconds, kMicPpm);
  setCounters(recorder.sysStartSeconds, recorder.sysStartFrames, recorder.sysLastHostSeconds, recorder.sysLastFrames,
              kSystemStartsAfterSeconds, seconds, kSystemPpm);

  const auto begin = std::chrono::steady_clock::now();
  recorder.applyDriftCompensation();
  const auto corrected = std::chrono::steady_clock::now();
  Result<int64_t> written = recorder.interleaveTracks();
  const auto end = std::chrono::steady_clock::now();
  if (!written) {
    std::fprintf(stderr, "interleave failed: %s\n", written.error().description.c_str());
    return 1;
  }
  if (!recorder.micCorrectedURL || !recorder.sysCorrectedURL) {
    std::fprintf(stderr, "a track was not corrected: the benchmark measures the wrong thing\n");
    return 1;
  }
  const auto secondsOf = [](auto d) { return std::chrono::duration<double>(d).count(); };
  std::printf("stop %.1f min: drift %.2f s + interleave %.2f s = %.2f s, %lld frames, peak RSS %.1f MB\n",
              seconds / 60, secondsOf(corrected - begin), secondsOf(end - corrected), secondsOf(end - begin),
              static_cast<long long>(*written), peakRssMegabytes());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "generate") return generate(argv[2], std::atof(argv[3]));
  if (argc == 4 && std::string(argv[1]) == "stop") return stop(argv[2], std::atof(argv[3]));
  std::fprintf(stderr, "usage: %s generate <dir> <seconds> | stop <dir> <seconds>\n", argv[0]);
  return 64;
}
