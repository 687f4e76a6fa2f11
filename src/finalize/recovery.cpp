// Recovery: 16-bit PCM where the output's container holds it, AAC where it
// does not, no drift correction, no head alignment; then only what reached
// the output is removed.
#include "finalize/recovery.h"

#include <cstdlib>
#include <filesystem>

#include "events/output.h"
#include "finalize/interleave.h"
#include "finalize/temp_paths.h"

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

// A track that failed to read, or that this run's mode left out, stays for
// another attempt whatever the outcome.
void consume(TrackRead outcome, const std::string& temp, const std::string& copy) {
  if (outcome == TrackRead::failed || (outcome == TrackRead::notOpened && fileExists(temp))) {
    diag("recovery: keeping " + temp);
    return;
  }
  removeQuietly(temp);
  removeQuietly(copy);
}

}  // namespace

void finalizeFromTemps(const std::string& outputPath, bool withMic, bool withSystem) {
  const TempPaths paths(outputPath);
  if (!fileExists(paths.mic) && !fileExists(paths.system)) {
    finish("ERROR no_temps no temp tracks to finalize", 2);
  }
  std::optional<TrackSource> mic, system;
  if (withMic) mic = TrackSource{paths.mic, std::nullopt};
  if (withSystem) system = TrackSource{paths.system, std::nullopt};
  InterleaveOutcome outcome;
  Result<int64_t> written =
      interleaveTracks(mic, system, outputPath, outputSettings(containerHoldsLinearPCM(outputPath)), outcome);
  if (!written) finish("ERROR finalize_failed " + written.error().description, 2);
  if (*written == 0) removeQuietly(outputPath);
  consume(outcome.mic, paths.mic, paths.micCorrected);
  consume(outcome.system, paths.system, paths.systemCorrected);
  if (*written > 0) finish("STATUS stopped " + outputPath, 0);
  finish("ERROR empty_recovery interleave produced no audio frames", EXIT_EMPTY_RECOVERY);
}

}  // namespace orvane
