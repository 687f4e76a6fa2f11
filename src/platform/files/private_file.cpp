// Private file creation, output-path checks, syncing and track locks.
#include "platform/files/private_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace orvane {

namespace {

int openRetrying(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::string folderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

Result<int> lockedOrError(int fd, int operation, const std::string& path) {
  if (::flock(fd, operation | LOCK_NB) == 0) return fd;
  const int error = errno;
  ::close(fd);
  return posixError(error, "cannot lock " + path);
}

}  // namespace

Result<int> createPrivateFile(const std::string& path) {
  const int fd = openRetrying(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return posixError(errno, "cannot create " + path);
  return fd;
}

Status checkOutputPath(const std::string& path) {
  struct stat info{};
  if (::lstat(path.c_str(), &info) == 0) {
    if (S_ISLNK(info.st_mode)) return Error{"posix", ELOOP, "cannot create " + path + ": it is a symbolic link"};
    if (!S_ISREG(info.st_mode)) return Error{"posix", EEXIST, "cannot create " + path + ": it is not a regular file"};
  } else if (errno != ENOENT) {
    return posixError(errno, "cannot create " + path);
  }
  const std::string folder = folderOf(path);
  struct stat dir{};
  if (::stat(folder.c_str(), &dir) != 0) return posixError(errno, "cannot create " + path + " in " + folder);
  if (!S_ISDIR(dir.st_mode)) return posixError(ENOTDIR, "cannot create " + path + " in " + folder);
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return posixError(errno, "cannot create " + path + " in " + folder);
  return std::nullopt;
}

Status syncToStorage(const std::string& path) {
  for (const std::string& target : {path, folderOf(path)}) {
    const int fd = openRetrying(target, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return posixError(errno, "cannot sync " + target);
    const int synced = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    // A folder on a file system that cannot sync folders is no failure of ours.
    if (synced != 0 && !(target != path && (error == EINVAL || error == EROFS))) {
      return posixError(error, "cannot sync " + target);
    }
  }
  return std::nullopt;
}

Result<int> lockTrackFile(const std::string& path) {
  const int fd = openRetrying(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return posixError(errno, "cannot open " + path);
  return lockedOrError(fd, LOCK_EX, path);
}

Result<int> openTrackForRecovery(const std::string& path) {
  // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
  const int fd = openRetrying(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return posixError(errno, "cannot open " + path);
  struct stat info{};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return posixError(EINVAL, "cannot read " + path + ": it is not a regular file");
  }
  Result<int> locked = lockedOrError(fd, LOCK_EX, path);
  if (locked && ::fstat(*locked, &info) == 0 && info.st_nlink == 0) {
    ::close(*locked);
    return posixError(ENOENT, "cannot read " + path);
  }
  return locked;
}

Status replaceFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return posixError(errno, "cannot rename " + from + " to " + to);
  const int fd = openRetrying(folderOf(to), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;  // renamed; only the folder's sync is out of reach
  const int synced = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  if (synced != 0 && error != EINVAL && error != EROFS) return posixError(error, "cannot sync the folder of " + to);
  return std::nullopt;
}

}  // namespace orvane
