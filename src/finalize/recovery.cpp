// Clean-up of the temporary tracks, and the recovery mode that turns the
// tracks left by a run that died into an output file.
#include <unistd.h>

#include <filesystem>

#include "cli/output.h"
#include "recorder/recorder.h"

namespace orvane {

void Recorder::cleanupTemps() {
  for (const std::string& path : {micTempURL, systemTempURL, siblingPath(outputURL, "mic.corrected.caf"),
                                  siblingPath(outputURL, "sys.corrected.caf")}) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
}

void Recorder::finalizeFromTemps() {
  std::error_code ec;
  if (!std::filesystem::exists(micTempURL, ec) && !std::filesystem::exists(systemTempURL, ec)) {
    finish("ERROR no_temps no temp tracks to finalize", 2);
  }
  // Until the interleave lands the tracks are kept for a later attempt.
  Result<int64_t> written = interleaveTracks();
  if (!written) finish("ERROR finalize_failed " + written.error().description, 2);
  finish("ERROR finalize_failed recovery is not available in this build", 2);
}

}  // namespace orvane
