// File creation, output-path checks, syncing, track locks and held files' names.
#include "platform/files/private_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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

// The umask, read once before main: reading it sets another for a moment,
// which no other thread may create a file under.
const mode_t processUmask = [] {
  const mode_t mask = ::umask(077);
  ::umask(mask);
  return mask;
}();

// Opens without waiting on a FIFO or a device and refuses anything but a
// regular file, which it truncates only then; the descriptor blocks again.
Result<int> openRegular(const std::string& path, int flags, mode_t mode, const char* verb) {
  const int fd = openRetrying(path, (flags & ~O_TRUNC) | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) return posixError(errno, std::string(verb) + " " + path);
  struct stat info{};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return Error{"posix", EEXIST, std::string(verb) + " " + path + ": it is not a regular file"};
  }
  if (((flags & O_TRUNC) && ::ftruncate(fd, 0) != 0) ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    const int error = errno;
    ::close(fd);
    return posixError(error, std::string(verb) + " " + path);
  }
  return fd;
}

Result<int> lockedOrError(int fd, int operation, const std::string& path) {
  if (::flock(fd, operation | LOCK_NB) == 0) return fd;
  const int error = errno;
  ::close(fd);
  return posixError(error, "cannot lock " + path);
}

}  // namespace

int writeAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

Result<int> createPrivateFile(const std::string& path) {
  return openRegular(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600, "cannot create");
}

Result<int> createUserFile(const std::string& path) {
  return openRegular(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666, "cannot create");
}

Result<int> openRegularForReading(const std::string& path) {
  Result<int> fd = openRegular(path, O_RDONLY, 0, "cannot read");
  if (!fd && fd.error().code == EEXIST) return posixError(EINVAL, fd.error().description);
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

void removeQuietly(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

Status syncToStorage(const std::string& path) {
  for (const std::string& target : {path, folderOf(path)}) {
    // A FIFO put in the file's place is not waited on: its fsync fails.
    const int fd = openRetrying(target, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
  Result<int> fd = openRegular(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0600, "cannot open");
  if (!fd) return fd;
  return lockedOrError(*fd, LOCK_EX, path);
}

Result<int> openTrackForRecovery(const std::string& path) {
  Result<int> fd = openRegularForReading(path);
  if (!fd) return fd;
  Result<int> locked = lockedOrError(*fd, LOCK_EX, path);
  struct stat info{};
  if (locked && ::fstat(*locked, &info) == 0 && info.st_nlink == 0) {
    ::close(*locked);
    return posixError(ENOENT, "cannot read " + path);
  }
  return locked;
}

bool isTrackInUse(const std::string& path) {
  Result<int> fd = openRegularForReading(path);
  if (!fd) return false;
  const bool held = ::flock(*fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(*fd);
  return held;
}

Status replaceFile(const std::string& from, const std::string& to) {
  if (Result<int> fd = openRegular(from, O_RDONLY | O_NOFOLLOW, 0, "cannot open")) {
    ::fchmod(*fd, 0666 & ~processUmask);
    ::close(*fd);
  }
  if (::rename(from.c_str(), to.c_str()) != 0) return posixError(errno, "cannot rename " + from + " to " + to);
  const int fd = openRetrying(folderOf(to), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;  // renamed; only the folder's sync is out of reach
  const int synced = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  if (synced != 0 && error != EINVAL && error != EROFS) return posixError(error, "cannot sync the folder of " + to);
  return std::nullopt;
}

std::optional<std::string> currentName(const std::string& held) {
  char name[PATH_MAX];
  const ssize_t length = held.starts_with("/proc/self/fd/") ? ::readlink(held.c_str(), name, sizeof name) : -1;
  if (length <= 0 || static_cast<size_t>(length) >= sizeof name) return std::nullopt;
  // A removed name reads as the old one with " (deleted)": only a name that
  // is the held file counts.
  const std::string path(name, static_cast<size_t>(length));
  struct stat file{}, named{};
  if (::stat(held.c_str(), &file) != 0 || ::lstat(path.c_str(), &named) != 0) return std::nullopt;
  if (file.st_dev != named.st_dev || file.st_ino != named.st_ino) return std::nullopt;
  return path;
}

bool removeHeldFile(const std::string& held) {
  const std::optional<std::string> name = currentName(held);
  return name && ::unlink(name->c_str()) == 0;
}

int openUnnamedBeside(const std::string& path) {
  const std::string folder = folderOf(path);
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  std::string name = folder + "/.orvane-spill-XXXXXX";
  const int named = ::mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) ::unlink(name.c_str());
  return named;
}

}  // namespace orvane
