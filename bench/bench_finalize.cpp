// Finalization cost: the finisher's output from two long ended temporary tracks
// into a WAV or AAC output, timed in-process, with the process's peak resident set size.
// scripts/bench-finalize.sh runs it beside sox and ffmpeg on the same inputs.
//
//   bench_finalize generate <dir> <seconds>   writes <dir>/rec.mic.caf and rec.sys.caf
//   bench_finalize interleave <dir> <ext> [workers]
//                                             interleaves them into <dir>/rec.<ext>
//                                             (wav: 16-bit PCM, anything else: AAC,
//                                             on `workers` cores, default all)
// The peak RSS printed is the whole process's, and also its growth during the
// interleave: loading the audio libraries alone costs more than the interleave.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "finalize/parallel_encode.h"
#include "platform/audio_file.h"
#include "synthetic_track.h"
#include "platform/files/file_container.h"
#include "finalize/finisher.h"
#include "finalize/temp_paths.h"

namespace {

using namespace orvane;

constexpr double kRate = 48000;

using bench::generateTrack;

int generate(const std::string& dir, double seconds) {
  const auto frames = static_cast<int64_t>(seconds * kRate);
  // The system track a little shorter, as when the stream starts late.
  const bool ok = generateTrack(dir + "/rec.mic.caf", frames, 1000, 1) &&
                  generateTrack(dir + "/rec.sys.caf", frames - 12000, 440, 2);
  return ok ? 0 : 1;
}

double peakRssMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024;
}

int interleave(const std::string& dir, const std::string& extension, unsigned workers) {
  if (workers > 0) aacSegmenting().workers = workers;
  // The temporary tracks are named after the output: rec.mic.caf, rec.sys.caf.
  const std::string name = "rec." + extension;
  const std::string out = dir + "/" + name;
  // No start times, so no head alignment: the peers do none either.
  const TempPaths paths(out);

  const double rssBefore = peakRssMegabytes();
  const auto start = std::chrono::steady_clock::now();
  InterleaveOutcome outcome;
  Result<int64_t> written = finishEndedTracks(TrackSource{paths.mic, std::nullopt},
                                              TrackSource{paths.system, std::nullopt}, 1, 1, out,
                                              outputSettings(lastExtension(out) == "wav"), outcome);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!written) {
    std::fprintf(stderr, "interleave failed: %s\n", written.error().description.c_str());
    return 1;
  }
  const double rssAfter = peakRssMegabytes();
  std::printf("interleave %s: %lld frames (%.1f min) in %.2f s, %.0fx real time, peak RSS %.1f MB "
              "(%.1f MB before the interleave, +%.1f MB during it)\n",
              name.c_str(), static_cast<long long>(*written), static_cast<double>(*written) / kRate / 60, seconds,
              static_cast<double>(*written) / kRate / seconds, rssAfter, rssBefore, rssAfter - rssBefore);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "generate") return generate(argv[2], std::atof(argv[3]));
  if ((argc == 4 || argc == 5) && std::string(argv[1]) == "interleave") {
    return interleave(argv[2], argv[3], argc == 5 ? static_cast<unsigned>(std::atoi(argv[4])) : 0);
  }
  std::fprintf(stderr, "usage: %s generate <dir> <seconds> | interleave <dir> <wav|m4a> [workers]\n", argv[0]);
  return 64;
}
