// Address-space and descriptor headroom against the process's limits.
#include "platform/runtime/resource_limits.h"

#include <sys/mman.h>
#include <sys/resource.h>

#include <cstddef>
#include <filesystem>

namespace orvane {

namespace {

// The address space a recording takes on top of the process at its start:
// the sound server's clients (each a 64 MiB pool, the server's pool mapped
// beside it, a thread), and the threads' stacks and malloc arenas. Measured:
// 133 MiB at the start, 461 MiB once recording.
constexpr size_t kAddressSpaceNeeded = size_t{320} << 20;
// Descriptors a start opens: the server's socket and pool, the tracks, the
// output, the event descriptors of the loops.
constexpr long kDescriptorsNeeded = 8;

long megabytes(rlim_t bytes) { return static_cast<long>(bytes >> 20); }

}  // namespace

std::optional<std::string> addressSpaceShortage() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
  // Reserving without touching costs no memory but counts against the limit exactly as the server's pool would.
  void* probe = ::mmap(nullptr, kAddressSpaceNeeded, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (probe != MAP_FAILED) {
    ::munmap(probe, kAddressSpaceNeeded);
    return std::nullopt;
  }
  return "not enough memory: under the address-space limit (ulimit -v) of " + std::to_string(megabytes(limit.rlim_cur)) +
         " MB, less than the " + std::to_string(megabytes(kAddressSpaceNeeded)) +
         " MB that a recording needs is free; raise the limit";
}

namespace {

std::optional<std::string> descriptorShortage() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
  std::error_code error;
  long open = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error)) {
    ++open;
  }
  if (error || static_cast<long>(limit.rlim_cur) - open >= kDescriptorsNeeded) return std::nullopt;
  return "too few file descriptors: " + std::to_string(open) + " of the " + std::to_string(limit.rlim_cur) +
         " allowed (ulimit -n) are open; raise the limit";
}

}  // namespace

std::optional<std::string> localResourceShortage() {
  if (auto memory = addressSpaceShortage()) return memory;
  return descriptorShortage();
}

}  // namespace orvane
