// The temporary-file naming rule and their clean-up.
#include "finalize/temp_paths.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
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
      sidecar(siblingPath(outputPath, "drift.json")),
      partialOutput(siblingPath(outputPath, "partial" + std::filesystem::path(outputPath).extension().string())),
      finishing(siblingPath(outputPath, "finishing" + std::filesystem::path(outputPath).extension().string())) {}

Status checkNameLengths(const TempPaths& paths) {
  const std::filesystem::path folder = std::filesystem::path(paths.output).parent_path();
  const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  const size_t longest = limit > 0 ? static_cast<size_t>(limit) : NAME_MAX;
  for (const std::string* path :
       {&paths.output, &paths.mic, &paths.system, &paths.sidecar, &paths.partialOutput, &paths.finishing}) {
    const std::string name = std::filesystem::path(*path).filename().string();
    if (name.size() > longest) {
      return Error{"posix", ENAMETOOLONG, "the output name is too long: " + name + " would be " +
                                              std::to_string(name.size()) + " bytes, its folder holds names of at most " +
                                              std::to_string(longest)};
    }
  }
  return std::nullopt;
}

void removeTemps(const TempPaths& paths, bool withMic, bool withSystem) {
  std::error_code ignored;
  if (withMic) std::filesystem::remove(paths.mic, ignored);
  if (withSystem) std::filesystem::remove(paths.system, ignored);
}

}  // namespace orvane
