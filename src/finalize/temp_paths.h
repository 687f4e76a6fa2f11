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
};

// ENAMETOOLONG naming the first of the names above that its folder cannot
// hold: a recording would otherwise lose that file silently, at its end.
Status checkNameLengths(const TempPaths& paths);

// Removes the temporary tracks, one when the other is left out; absent ones are fine.
void removeTemps(const TempPaths& paths, bool withMic = true, bool withSystem = true);

}  // namespace orvane
