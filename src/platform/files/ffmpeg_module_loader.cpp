// Locating the FFmpeg writer module and loading it with dlopen.
#include "platform/files/ffmpeg_module_loader.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>

#include "platform/files/file_container.h"

namespace orvane {
namespace {

Error unavailable(const std::string& description) {
  return audioFileError(kWriterUnavailable, description);
}

std::string lastDlError() {
  const char* text = ::dlerror();
  return text ? text : "unknown error";
}

// A mapping of a file that is never written through and holds none of the
// process's own copies of its pages (relocated data does): every page in it
// is the file's and can be read again from it.
struct FilePages {
  uintptr_t start = 0, end = 0;
  std::string path;
};

std::vector<FilePages> unchangedFileMappings() {
  std::vector<FilePages> found;
  std::ifstream smaps("/proc/self/smaps");
  std::optional<FilePages> current;
  for (std::string line; std::getline(smaps, line);) {
    std::istringstream fields(line);
    std::string first, second;
    fields >> first >> second;
    if (first == "Anonymous:") {
      if (current && second == "0") found.push_back(*current);
      current.reset();
      continue;
    }
    const size_t dash = first.find('-');
    if (dash == std::string::npos || first.back() == ':') continue;
    std::string offset, device, inode, path;
    fields >> offset >> device >> inode >> path;
    current.reset();
    if (path.empty() || path[0] != '/' || second.size() < 2 || second[1] == 'w') continue;
    current = FilePages{std::stoul(first.substr(0, dash), nullptr, 16), std::stoul(first.substr(dash + 1), nullptr, 16),
                        path};
  }
  return found;
}

// Loading FFmpeg maps some fifty libraries it links (codecs, image and
// network libraries) and relocates them, reading most of their symbol
// tables: about 20 MB that stay counted in the helper's memory, of which
// only the AAC encoder's and the muxer's code is used again. Those pages of
// the files that came with the module are let go; what is used is mapped
// again from the page cache when it is, on the finisher's or the stop's
// thread, never the capture's.
void releaseLoadedPages(const std::set<std::string>& before) {
  for (const FilePages& mapping : unchangedFileMappings()) {
    if (before.count(mapping.path)) continue;
    ::madvise(reinterpret_cast<void*>(mapping.start), mapping.end - mapping.start, MADV_DONTNEED);
  }
}

}  // namespace

std::vector<std::string> ffmpegModuleCandidates() {
  std::vector<std::string> candidates;
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const std::filesystem::path bin = self.parent_path();
    candidates.push_back((bin / kFfmpegModuleFileName).string());
    // An installed helper: <prefix>/bin/orvane-capture and
    // <prefix>/lib/orvane-capture/orvane_ffmpeg.so (CMakeLists.txt installs it
    // there), found from wherever the prefix was put.
    candidates.push_back((bin.parent_path() / "lib" / "orvane-capture" / kFfmpegModuleFileName).string());
  }
#ifdef ORVANE_FFMPEG_MODULE_BUILD_PATH
  if (candidates.empty() || candidates.front() != ORVANE_FFMPEG_MODULE_BUILD_PATH) {
    candidates.push_back(ORVANE_FFMPEG_MODULE_BUILD_PATH);
  }
#endif
  return candidates;
}

Result<std::string> locateFfmpegModule(const std::vector<std::string>& candidates) {
  std::string looked;
  for (const std::string& candidate : candidates) {
    if (::access(candidate.c_str(), F_OK) == 0) return candidate;
    looked += (looked.empty() ? "" : ", ") + candidate;
  }
  return unavailable(std::string("cannot find the FFmpeg writer module ") + kFfmpegModuleFileName +
                     " (looked for " + (looked.empty() ? "nothing" : looked) + ")");
}

Result<const FfmpegModule*> loadFfmpegModule(const std::string& path) {
  const std::string failure = "cannot load the FFmpeg writer module " + path + ": ";
  std::set<std::string> mapped;
  for (const FilePages& mapping : unchangedFileMappings()) mapped.insert(mapping.path);
  // RTLD_NOW: a missing FFmpeg symbol fails here, not in the middle of a write.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return unavailable(failure + lastDlError());
  releaseLoadedPages(mapped);
  auto entry = reinterpret_cast<FfmpegModuleEntry>(::dlsym(handle, kFfmpegModuleEntryPoint));
  if (!entry) {
    const std::string reason = lastDlError();
    ::dlclose(handle);
    return unavailable(failure + reason);
  }
  const FfmpegModule* module = entry();
  if (!module || module->version != kFfmpegModuleVersion || !module->createForWriting || !module->createAacEncoder ||
      !module->createAacMuxer || !module->createAudioConverter) {
    ::dlclose(handle);
    return unavailable(failure + "it was built for another version of this program (" +
                       std::to_string(module ? module->version : 0) + ", not " +
                       std::to_string(kFfmpegModuleVersion) + ")");
  }
  return module;
}

Result<const FfmpegModule*> ffmpegModule() {
  static std::once_flag once;
  static std::optional<Result<const FfmpegModule*>> loaded;
  std::call_once(once, [] {
    Result<std::string> path = locateFfmpegModule(ffmpegModuleCandidates());
    loaded.emplace(path ? loadFfmpegModule(*path) : Result<const FfmpegModule*>(path.error()));
  });
  return *loaded;
}

}  // namespace orvane
