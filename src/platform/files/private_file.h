// Files the helper creates and guards: creation that never follows a symlink
// nor waits on anything but a regular file, the checks an output path must
// pass before a recording starts, forcing a finished file to storage, the
// advisory lock that marks a temporary track as in use, and the removal of
// a held file wherever its name went.
#pragma once

#include <optional>
#include <string>

#include "platform/error.h"

namespace orvane {

// Creates or truncates the file at `path` for reading and writing, mode 0600
// for a new file, close-on-exec. A symlink at the path fails with ELOOP and is
// never followed, so a planted link cannot redirect our writes; anything else
// but a regular file (a FIFO, a device) fails with EEXIST untouched, without
// waiting on it.
Result<int> createPrivateFile(const std::string& path);

// The same with the mode any new file of the user gets (0666 less the umask):
// for what the host hands on (the drift sidecar).
Result<int> createUserFile(const std::string& path);

// What would make creating `path` fail later, checked without creating it:
// a symlink (dangling or not) or anything but a regular file at the path, or
// a folder that does not exist or cannot be written.
Status checkOutputPath(const std::string& path);

// Opens the regular file at `path` for reading, close-on-exec, following a
// symlink; anything else (a FIFO, whose open or read would wait for a writer;
// a device) fails with EINVAL without waiting on it.
Result<int> openRegularForReading(const std::string& path);

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

// True when a lock is held on the track at `path` (by a running recording or
// a recovery; a lock of this process's own counts too); false when nothing,
// or no regular file, is there.
bool isTrackInUse(const std::string& path);

// Gives the file at `from` (written privately) the mode any new file of the
// user gets, renames it over `to` and forces the folder entry to storage:
// whoever looks at `to` sees the old file or the new one, never a part of
// either, and the output is the user's to share like any file they make.
Status replaceFile(const std::string& from, const std::string& to);

// The name that the file held open behind `held` (a descriptorPath) now has,
// wherever it was moved; nullopt when that name was removed, or `held` is no
// descriptor's path.
std::optional<std::string> currentName(const std::string& held);

// Removes the file held open behind `held` (a descriptorPath) under its
// current name, checked to be that file: a track whose folder was renamed is
// removed where it went, and a file that took its old name is left alone.
// False when the file has no name to remove.
bool removeHeldFile(const std::string& held);

// Removes the file at `path` if there is one; a failure is not worth a word
// (a leftover part, a spare copy).
void removeQuietly(const std::string& path);

// An unnamed file for reading and writing in the folder of `path`, on the
// output's disk (O_TMPFILE where the file system has it, else a fresh name
// removed at once): neither a failure nor a crash leaves it behind. -1 with
// errno on failure.
int openUnnamedBeside(const std::string& path);

// Writes all `size` bytes at the position of `fd`, again after an interrupted
// or short write: 0, or the errno of the write that failed (EIO for one that
// wrote nothing).
int writeAll(int fd, const void* data, size_t size);

// A path that opens the file behind `fd` (of this process), whatever became of its name.
inline std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace orvane
