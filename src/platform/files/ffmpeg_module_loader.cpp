// Locating the FFmpeg writer module and loading it with dlopen.
#include "platform/files/ffmpeg_module_loader.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
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
  bool resident = false;  // some of its pages are in memory
};

std::vector<FilePages> unchangedFileMappings() {
  std::vector<FilePages> found;
  std::ifstream smaps("/proc/self/smaps");
  std::optional<FilePages> current;
  for (std::string line; std::getline(smaps, line);) {
    std::istringstream fields(line);
    std::string first, second;
    fields >> first >> second;
    if (first == "Rss:" && current) current->resident = second != "0";
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

// The libraries an ELF shared object names as needed, read from its dynamic
// section; none when the file is not a 64-bit ELF object this can read.
std::vector<std::string> neededLibraries(const std::string& path) {
  std::vector<std::string> names;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return names;
  struct stat info {};
  void* mapped = ::fstat(fd, &info) == 0 && info.st_size > static_cast<off_t>(sizeof(Elf64_Ehdr))
                     ? ::mmap(nullptr, info.st_size, PROT_READ, MAP_PRIVATE, fd, 0)
                     : MAP_FAILED;
  ::close(fd);
  if (mapped == MAP_FAILED) return names;
  const auto* bytes = static_cast<const unsigned char*>(mapped);
  const auto size = static_cast<uint64_t>(info.st_size);
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(bytes);
  const auto inFile = [size](uint64_t offset, uint64_t length) { return offset <= size && length <= size - offset; };
  if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) == 0 && header->e_ident[EI_CLASS] == ELFCLASS64 &&
      inFile(header->e_phoff, uint64_t{header->e_phnum} * sizeof(Elf64_Phdr))) {
    const auto* segments = reinterpret_cast<const Elf64_Phdr*>(bytes + header->e_phoff);
    const auto fileOffset = [&](uint64_t address) -> std::optional<uint64_t> {
      for (int i = 0; i < header->e_phnum; ++i) {
        const Elf64_Phdr& load = segments[i];
        if (load.p_type == PT_LOAD && address >= load.p_vaddr && address - load.p_vaddr < load.p_filesz) {
          return address - load.p_vaddr + load.p_offset;
        }
      }
      return std::nullopt;
    };
    for (int i = 0; i < header->e_phnum; ++i) {
      if (segments[i].p_type != PT_DYNAMIC || !inFile(segments[i].p_offset, segments[i].p_filesz)) continue;
      const auto* entries = reinterpret_cast<const Elf64_Dyn*>(bytes + segments[i].p_offset);
      const size_t count = segments[i].p_filesz / sizeof(Elf64_Dyn);
      std::optional<uint64_t> strings;
      for (size_t e = 0; e < count && entries[e].d_tag != DT_NULL; ++e) {
        if (entries[e].d_tag == DT_STRTAB) strings = fileOffset(entries[e].d_un.d_ptr);
      }
      for (size_t e = 0; strings && e < count && entries[e].d_tag != DT_NULL; ++e) {
        if (entries[e].d_tag != DT_NEEDED || !inFile(*strings + entries[e].d_un.d_val, 1)) continue;
        const char* name = reinterpret_cast<const char*>(bytes + *strings + entries[e].d_un.d_val);
        names.emplace_back(name, ::strnlen(name, size - (*strings + entries[e].d_un.d_val)));
      }
    }
  }
  ::munmap(mapped, info.st_size);
  return names;
}

// Where a needed library is likely to be found: beside a library already
// loaded. A guess only serves the order of loading; dlopen still finds the
// library its own way.
std::optional<std::string> findLoadedNeighbour(const std::string& name) {
  std::set<std::filesystem::path> folders;
  ::dl_iterate_phdr(
      [](dl_phdr_info* object, size_t, void* data) {
        const std::filesystem::path loaded = object->dlpi_name ? object->dlpi_name : "";
        if (loaded.is_absolute()) static_cast<std::set<std::filesystem::path>*>(data)->insert(loaded.parent_path());
        return 0;
      },
      &folders);
  for (const std::filesystem::path& folder : folders) {
    const std::string candidate = (folder / name).string();
    if (::access(candidate.c_str(), R_OK) == 0) return candidate;
  }
  return std::nullopt;
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
    if (!mapping.resident || before.count(mapping.path)) continue;
    ::madvise(reinterpret_cast<void*>(mapping.start), mapping.end - mapping.start, MADV_DONTNEED);
  }
}

// Resident bytes of this process, from the cheap statm (smaps walks every page).
uint64_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

// Loaded at once, the fifty libraries would all be in memory before any page
// is let go, a peak some 10 MB above what stays. So the libraries the module
// needs are loaded first, one at a time, those they need before them, and
// their pages let go whenever 4 MB more are resident (each letting go costs
// a walk of the whole process's pages). A library that cannot be loaded on
// its own (some rely on a neighbour they do not name) is left to the load of
// whatever needs it. They stay loaded, as the module does.
struct StagedLoad {
  static constexpr uint64_t kReleaseEvery = 4 << 20;
  std::set<std::string> before;  // the mapped files that were never this load's
  std::set<std::string> visited;
  uint64_t released = residentBytes();

  void loadNeeded(const std::string& path) {
    for (const std::string& name : neededLibraries(path)) {
      if (!visited.insert(name).second) continue;
      if (void* loaded = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
        ::dlclose(loaded);
        continue;
      }
      if (std::optional<std::string> found = findLoadedNeighbour(name)) loadNeeded(*found);
      if (::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL) && residentBytes() > released + kReleaseEvery) release();
    }
  }
  void release() {
    releaseLoadedPages(before);
    released = residentBytes();
  }
};

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

Result<const FfmpegModule*> loadFfmpegModule(const std::string& path) {
  const std::string failure = "cannot load the FFmpeg writer module " + path + ": ";
  StagedLoad staged;
  for (const FilePages& mapping : unchangedFileMappings()) staged.before.insert(mapping.path);
  staged.loadNeeded(path);
  // RTLD_NOW: a missing FFmpeg symbol fails here, not in the middle of a write.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return unavailable(failure + lastDlError());
  staged.release();
  auto entry = reinterpret_cast<FfmpegModuleEntry>(::dlsym(handle, kFfmpegModuleEntryPoint));
  if (!entry) {
    const std::string reason = lastDlError();
    ::dlclose(handle);
    return unavailable(failure + reason);
  }
  const FfmpegModule* module = entry();
  if (!module || module->version != kFfmpegModuleVersion) {
    ::dlclose(handle);
    return unavailable(failure + "it was built for another version of this program (" +
                       std::to_string(module ? module->version : 0) + ", not " +
                       std::to_string(kFfmpegModuleVersion) + ")");
  }
  return module;
}

}  // namespace

Result<std::string> locateFfmpegModule() {
  std::string looked;
  for (const std::string& candidate : ffmpegModuleCandidates()) {
    if (::access(candidate.c_str(), F_OK) == 0) return candidate;
    looked += (looked.empty() ? "" : ", ") + candidate;
  }
  std::string message = "cannot find the FFmpeg writer module ";
  message += kFfmpegModuleFileName;
  message += " (looked for " + (looked.empty() ? std::string("nothing") : looked) + ")";
  return unavailable(message);
}

Result<const FfmpegModule*> ffmpegModule() {
  static std::once_flag once;
  static std::optional<Result<const FfmpegModule*>> loaded;
  std::call_once(once, [] {
    Result<std::string> path = locateFfmpegModule();
    loaded.emplace(path ? loadFfmpegModule(*path) : Result<const FfmpegModule*>(path.error()));
  });
  return *loaded;
}

}  // namespace orvane
