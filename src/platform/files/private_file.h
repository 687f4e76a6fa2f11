// Files the helper creates and guards: private (0600) creation that never
// follows a symlink, the checks an output path must pass before a recording
// starts, forcing a finished file to storage, and the advisory lock that
// marks a temporary track as in use.
#pragma once

#include <string>

#include "platform/error.h"

namespace orvane {

// Creates or truncates the file at `path` for reading and writing, mode 0600
// for a new file, close-on-exec. A symlink at the path fails with ELOOP and is
// never followed, so a planted link cannot redirect our writes.
Result<int> createPrivateFile(const std::string& path);

// What would make creating `path` fail later, checked without creating it:
// a symlink (dangling or not) or anything but a regular file at the path, or
// a folder that does not exist or cannot be written.
Status checkOutputPath(const std::string& path);

// Forces the file at `path` and the folder entry that names it to storage.
Status syncToStorage(const std::string& path);

// An exclusive advisory lock on the file at `path`, created (0600, never
// through a symlink) when missing but never truncated; held while the
// returned descriptor is open. Fails with EWOULDBLOCK when another process
// holds it.
Result<int> lockTrackFile(const std::string& path);

// An existing track opened for reading under an exclusive lock: EWOULDBLOCK
// when a recording or another recovery holds it, ENOENT when its name was
// removed meanwhile (by a recovery that just finished); a track that is not
// a regular file is refused without waiting on it.
Result<int> openTrackForRecovery(const std::string& path);

// Renames `from` over `to` and forces the folder entry to storage: whoever
// looks at `to` sees the old file or the new one, never a part of either.
Status replaceFile(const std::string& from, const std::string& to);

// A path that opens the file behind `fd` (of this process), whatever became of its name.
inline std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace orvane
