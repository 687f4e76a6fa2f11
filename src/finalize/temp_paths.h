// The files a recording keeps beside its output: the temporary tracks, the
// drift sidecar and the output while it is being written, named by replacing
// the output path's last extension.
#pragma once

#include <string>

#include "platform/error.h"

namespace orvane {

// The output path with its last extension replaced by `extension`.
std::string siblingPath(const std::string& outputPath, const std::string& extension);

struct TempPaths {
  explicit TempPaths(const std::string& outputPath);
  std::string output;
  std::string mic;
  std::string system;
  std::string sidecar;
  // The output made from the ended tracks is written here and renamed over
  // `output` once it is whole on storage, so an earlier file at the output
  // path is never lost to a stop that fails. It keeps the output's extension,
  // which picks the container.
  std::string partialOutput;
  std::string finishing;  // the output while the finisher writes it while recording, same container
  std::string speech;         // the speech timeline, when asked for
  std::string partialSpeech;  // the speech timeline until it is whole on storage
};

// EBUSY naming the first of this run's names that is a file of a recording
// with another output still running (one whose temporary tracks are locked:
// its track, output, sidecar or unfinished output), which
// this run would replace or remove; nothing when none is. No daemon keeps a
// list of runs: each name is read back to the outputs it could belong to.
// A recording of the same output is left to the tracks' own lock checks.
// `speechTimeline`: the timeline's names are this run's too.
Status checkNoRunningRecordingOwns(const TempPaths& paths, bool speechTimeline);

// EEXIST naming the first of the files this run writes beside its tracks and
// output (the sidecar, the unfinished output, the speech timeline when asked
// for) that something but a regular file occupies: a FIFO, a device or a
// folder would fail, or hold, the stop.
Status checkNothingInTheWay(const TempPaths& paths, bool speechTimeline);

// ENAMETOOLONG naming the first of the names above that its folder cannot
// hold: a recording would otherwise lose that file silently, at its end.
Status checkNameLengths(const TempPaths& paths, bool speechTimeline);

}  // namespace orvane
