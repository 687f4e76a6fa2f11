// Clean-up of the temporary tracks, and the recovery mode that turns the
// tracks left by a run that died into an output file.
#include <filesystem>

#include "events/output.h"
#include "recorder/recorder.h"

namespace orvane {
namespace {

bool fileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

void removeQuietly(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

}  // namespace

void Recorder::cleanupTemps() {
  for (const std::string& path : {micTempURL, systemTempURL, siblingPath(outputURL, "mic.corrected.caf"),
                                  siblingPath(outputURL, "sys.corrected.caf")}) {
    removeQuietly(path);
  }
}

void Recorder::finalizeFromTemps() {
  if (!fileExists(micTempURL) && !fileExists(systemTempURL)) {
    finish("ERROR no_temps no temp tracks to finalize", 2);
  }
  // 16-bit PCM where the container holds it; the MPEG-4 family takes only AAC.
  Result<int64_t> written = interleaveTracks(outputSettings(containerHoldsLinearPCM(outputURL)));
  if (!written) finish("ERROR finalize_failed " + written.error().description, 2);

  // Only what reached the output (or was never there) is consumed: a track
  // that failed to read, or that this run's mode left out, stays for another
  // attempt whatever the outcome.
  const auto consume = [this](TrackRead outcome, const std::string& temp, const char* copyExtension) {
    if (outcome == TrackRead::failed || (outcome == TrackRead::notOpened && fileExists(temp))) {
      diag("recovery: keeping " + temp);
      return;
    }
    removeQuietly(temp);
    removeQuietly(siblingPath(outputURL, copyExtension));
  };
  if (*written == 0) removeQuietly(outputURL);
  consume(micTrackRead, micTempURL, "mic.corrected.caf");
  consume(sysTrackRead, systemTempURL, "sys.corrected.caf");
  if (*written > 0) finish("STATUS stopped " + outputURL, 0);
  finish("ERROR empty_recovery interleave produced no audio frames", EXIT_EMPTY_RECOVERY);
}

}  // namespace orvane
