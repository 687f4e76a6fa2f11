// The files a recording keeps beside its output: the temporary tracks, their
// drift-corrected copies and the drift sidecar, named by replacing the output
// path's last extension.
#pragma once

#include <string>

namespace orvane {

// The output path with its last extension replaced by `extension`.
std::string siblingPath(const std::string& outputPath, const std::string& extension);

struct TempPaths {
  explicit TempPaths(const std::string& outputPath);
  std::string output;
  std::string mic;
  std::string system;
  std::string micCorrected;
  std::string systemCorrected;
  std::string sidecar;
  std::string finishing;  // the output while the finisher writes it, same container
};

// Removes the temporary tracks, their corrected copies and the finisher's
// file; absent ones are fine.
void removeTemps(const TempPaths& paths);

}  // namespace orvane
