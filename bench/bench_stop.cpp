// Cost of a stop whose two tracks both need drift correction and whose
// finisher made nothing while recording: the drift step (measurement, the
// sidecar) and the finisher on the ended tracks at the final ratios into a
// WAV output, in-process, with the process's peak resident set size.
// scripts/bench-stop.sh runs it beside `sox -M` of the raw tracks.
//
//   bench_stop generate <dir> <seconds>   writes <dir>/rec.mic.caf (+50 ppm) and rec.sys.caf (-50 ppm)
//   bench_stop stop <dir> <seconds> [out] sets the counters a run of that length leaves, then
//                                         makes <dir>/rec.wav (or <out>, AAC for rec.m4a) from the
//                                         ended tracks: what a stop does after any fallback
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/audio_file.h"
#include "synthetic_track.h"
#include "finalize/drift.h"
#include "finalize/finisher.h"

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

// The timeline the writers leave after `seconds` of a device `ppm` off, its
// first buffer at active second `startSeconds`: the last buffer appended began
// one buffer before the track's end.
TrackTimeline timeline(double startSeconds, double seconds, double ppm) {
  TrackTimeline t;
  t.startSeconds = startSeconds;
  t.lastFrames = deviceFrames(seconds, ppm) - kWriteFrames;
  t.lastSeconds = startSeconds + static_cast<double>(t.lastFrames) / (kRate * (1 + ppm * 1e-6));
  return t;
}

double peakRssMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024;
}

int stop(const std::string& dir, double seconds, const std::string& output) {
  const TempPaths paths(dir + "/" + output);
  const TrackTimeline mic = timeline(0.0, seconds, kMicPpm);
  const TrackTimeline sys = timeline(kSystemStartsAfterSeconds, seconds, kSystemPpm);

  const auto begin = std::chrono::steady_clock::now();
  const DriftCorrection corrected = applyDriftCompensation(paths, mic, sys);
  const auto correctedAt = std::chrono::steady_clock::now();
  InterleaveOutcome outcome;
  Result<int64_t> written = finishEndedTracks(TrackSource{paths.mic, mic.startSeconds},
                                              TrackSource{paths.system, sys.startSeconds}, corrected.micRatio,
                                              corrected.systemRatio, paths.output,
                                              outputSettings(containerHoldsLinearPCM(output)), outcome);
  const auto end = std::chrono::steady_clock::now();
  if (!written) {
    std::fprintf(stderr, "the output failed: %s\n", written.error().description.c_str());
    return 1;
  }
  if (corrected.micRatio == 1 || corrected.systemRatio == 1) {
    std::fprintf(stderr, "a track was not corrected: the benchmark measures the wrong thing\n");
    return 1;
  }
  const auto secondsOf = [](auto d) { return std::chrono::duration<double>(d).count(); };
  std::printf("stop %.1f min: drift %.2f s + output %.2f s = %.2f s, %lld frames, peak RSS %.1f MB\n",
              seconds / 60, secondsOf(correctedAt - begin), secondsOf(end - correctedAt), secondsOf(end - begin),
              static_cast<long long>(*written), peakRssMegabytes());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "generate") return generate(argv[2], std::atof(argv[3]));
  if ((argc == 4 || argc == 5) && std::string(argv[1]) == "stop") {
    return stop(argv[2], std::atof(argv[3]), argc == 5 ? argv[4] : "rec.wav");
  }
  std::fprintf(stderr, "usage: %s generate <dir> <seconds> | stop <dir> <seconds> [rec.wav|rec.m4a]\n", argv[0]);
  return 64;
}
