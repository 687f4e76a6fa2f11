// Locating the FFmpeg writer module and loading it with dlopen.
#include "platform/files/ffmpeg_module_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <optional>
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
  // RTLD_NOW: a missing FFmpeg symbol fails here, not in the middle of a write.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return unavailable(failure + lastDlError());
  auto entry = reinterpret_cast<FfmpegModuleEntry>(::dlsym(handle, kFfmpegModuleEntryPoint));
  if (!entry) {
    const std::string reason = lastDlError();
    ::dlclose(handle);
    return unavailable(failure + reason);
  }
  const FfmpegModule* module = entry();
  if (!module || module->version != kFfmpegModuleVersion || !module->createForWriting || !module->createAacEncoder ||
      !module->writeAacPacket) {
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
