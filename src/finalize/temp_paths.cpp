// The temporary-file naming rule and their clean-up.
#include "finalize/temp_paths.h"

#include <filesystem>

namespace orvane {

std::string siblingPath(const std::string& outputPath, const std::string& extension) {
  std::filesystem::path path(outputPath);
  path.replace_extension();
  return path.string() + "." + extension;
}

TempPaths::TempPaths(const std::string& outputPath)
    : output(outputPath),
      mic(siblingPath(outputPath, "mic.caf")),
      system(siblingPath(outputPath, "sys.caf")),
      micCorrected(siblingPath(outputPath, "mic.corrected.caf")),
      systemCorrected(siblingPath(outputPath, "sys.corrected.caf")),
      sidecar(siblingPath(outputPath, "drift.json")),
      finishing(siblingPath(outputPath, "finishing" + std::filesystem::path(outputPath).extension().string())) {}

void removeTemps(const TempPaths& paths) {
  for (const std::string* path : {&paths.mic, &paths.system, &paths.micCorrected, &paths.systemCorrected, &paths.finishing}) {
    std::error_code ignored;
    std::filesystem::remove(*path, ignored);
  }
}

}  // namespace orvane
