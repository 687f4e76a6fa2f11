// Recovery: the finisher from the start of the tracks, 16-bit PCM where the
// output's container holds it, AAC where it does not, no drift correction, no
// head alignment; then only what reached the output is removed, never a file
// this run did not create or read. A
// track that a running recording or another recovery holds is never touched.
#include "finalize/recovery.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "events/output.h"
#include "finalize/finisher.h"
#include "finalize/interleave.h"
#include "finalize/temp_paths.h"
#include "platform/files/private_file.h"

namespace orvane {
namespace {

bool fileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

// One temporary track: taken for reading under an exclusive lock, so that
// neither a recording nor a second recovery starts on it meanwhile, and read
// through that descriptor.
struct RecoveredTrack {
  std::optional<TrackSource> source;
  bool refused = false;  // there, but not readable as a track: kept
};

RecoveredTrack takeTrack(bool wanted, const std::string& path) {
  if (!wanted || !fileExists(path)) return {};
  Result<int> opened = openTrackForRecovery(path);
  if (opened) return {TrackSource{descriptorPath(*opened), std::nullopt}, false};
  if (opened.error().code == ENOENT) return {};  // consumed by a recovery that just ended
  if (opened.error().code == EWOULDBLOCK) {
    finish("ERROR finalize_failed temporary tracks are in use by a running recording", 2);
  }
  diag("recovery: " + opened.error().description);
  return {std::nullopt, true};
}

// A track that failed to read, that could not be taken, or that this run's
// mode left out stays for another attempt whatever the outcome.
void consume(TrackRead outcome, bool refused, const std::string& temp) {
  if (refused || outcome == TrackRead::failed || (outcome == TrackRead::notOpened && fileExists(temp))) {
    diag("recovery: keeping " + temp);
    return;
  }
  removeQuietly(temp);
}

}  // namespace

void finalizeFromTemps(const std::string& outputPath, bool withMic, bool withSystem, bool cancelEcho, bool speech) {
  if (std::optional<std::string> why = whyNotPrintable(outputPath)) {
    finish("ERROR finalize_failed the output path " + *why, 2);
  }
  const TempPaths paths(outputPath);
  if (!fileExists(paths.mic) && !fileExists(paths.system)) {
    finish("ERROR no_temps no temp tracks to finalize", 2);
  }
  // The output, or a name it derives, may be a file of another recording that still runs.
  if (Status owned = checkNoRunningRecordingOwns(paths, speech)) {
    finish("ERROR finalize_failed " + owned->description, 2);
  }
  const RecoveredTrack mic = takeTrack(withMic, paths.mic);
  const RecoveredTrack system = takeTrack(withSystem, paths.system);
  // What a finisher had written when its run died; the tracks hold all of it.
  removeQuietly(paths.finishing);
  removeQuietly(paths.partialSpeech);
  InterleaveOutcome outcome;
  // An empty result creates nothing: an earlier output at the path stays.
  Result<int64_t> written = finishEndedTracks(mic.source, system.source, 1, 1, outputPath,
                                              outputSettings(containerHoldsLinearPCM(outputPath)), outcome, false,
                                              cancelEcho, speech);
  if (!written) finish("ERROR finalize_failed " + written.error().description, 2);
  consume(outcome.mic, mic.refused, paths.mic);
  consume(outcome.system, system.refused, paths.system);
  if (*written > 0) finish("STATUS stopped " + outputPath, 0);
  finish("ERROR empty_recovery interleave produced no audio frames", EXIT_EMPTY_RECOVERY);
}

}  // namespace orvane
