// The temporary-file naming rule, the checks that no other run or file is in
// the way of the names, and their clean-up.
#include "finalize/temp_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <vector>

#include "platform/files/private_file.h"

namespace orvane {

namespace {

// What follows a recording's output path less its extension in each name it
// derives; the unfinished outputs add the output's own extension.
constexpr const char* kDerivedSuffixes[] = {".mic.caf", ".sys.caf", ".drift.json", ".speech.json",
                                           ".speech.partial.json"};
constexpr const char* kUnfinishedSuffixes[] = {".partial", ".finishing"};

// The output paths less their extension of every recording that `path`
// could be a file of: as its output, or as one of the names it derives.
std::vector<std::string> possibleStems(const std::string& path) {
  std::filesystem::path asOutput(path);
  asOutput.replace_extension();
  std::vector<std::string> stems{asOutput.string()};
  const std::string name = std::filesystem::path(path).filename().string();
  auto strip = [&](const std::string& suffix) {
    if (name.size() > suffix.size() && name.ends_with(suffix)) {
      stems.push_back(path.substr(0, path.size() - suffix.size()));
    }
  };
  for (const char* suffix : kDerivedSuffixes) strip(suffix);
  for (const char* suffix : kUnfinishedSuffixes) strip(suffix + std::filesystem::path(path).extension().string());
  return stems;
}

// The files a run writes beside its tracks and output.
std::vector<const std::string*> besideNames(const TempPaths& paths, bool speechTimeline) {
  std::vector<const std::string*> names{&paths.sidecar, &paths.partialOutput, &paths.finishing};
  if (speechTimeline) names.insert(names.end(), {&paths.speech, &paths.partialSpeech});
  return names;
}

// Every name a run writes, replaces or removes.
std::vector<const std::string*> allNames(const TempPaths& paths, bool speechTimeline) {
  std::vector<const std::string*> names{&paths.output, &paths.mic, &paths.system};
  for (const std::string* name : besideNames(paths, speechTimeline)) names.push_back(name);
  return names;
}

}  // namespace

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
      finishing(siblingPath(outputPath, "finishing" + std::filesystem::path(outputPath).extension().string())),
      speech(siblingPath(outputPath, "speech.json")),
      partialSpeech(siblingPath(outputPath, "speech.partial.json")) {}

Status checkNoRunningRecordingOwns(const TempPaths& paths, bool speechTimeline) {
  const std::string ownStem = possibleStems(paths.output).front();
  for (const std::string* path : allNames(paths, speechTimeline)) {
    for (const std::string& stem : possibleStems(*path)) {
      if (stem == ownStem) continue;  // the same --out twice: its tracks' own checks say so
      for (const char* track : {".mic.caf", ".sys.caf"}) {
        if (!isTrackInUse(stem + track)) continue;
        return Error{"posix", EBUSY, *path + " is a file of a running recording (its temporary track " + stem +
                                         track + " is in use); choose another --out"};
      }
    }
  }
  return std::nullopt;
}

Status checkNothingInTheWay(const TempPaths& paths, bool speechTimeline) {
  for (const std::string* path : besideNames(paths, speechTimeline)) {
    struct stat info{};
    if (::lstat(path->c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
      return Error{"posix", EEXIST, *path + " is in the way of a file the recording writes and is none; move it away"};
    }
  }
  return std::nullopt;
}

Status checkNameLengths(const TempPaths& paths, bool speechTimeline) {
  const std::filesystem::path folder = std::filesystem::path(paths.output).parent_path();
  const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  const size_t longest = limit > 0 ? static_cast<size_t>(limit) : NAME_MAX;
  for (const std::string* path : allNames(paths, speechTimeline)) {
    const std::string name = std::filesystem::path(*path).filename().string();
    if (name.size() > longest) {
      return Error{"posix", ENAMETOOLONG, "the output name is too long: " + name + " would be " +
                                              std::to_string(name.size()) + " bytes, its folder holds names of at most " +
                                              std::to_string(longest)};
    }
  }
  return std::nullopt;
}

}  // namespace orvane
