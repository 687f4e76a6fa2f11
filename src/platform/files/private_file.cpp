// Private file creation with O_NOFOLLOW.
#include "platform/files/private_file.h"

#include <fcntl.h>

#include <cerrno>

namespace orvane {

Result<int> createPrivateFile(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return posixError(errno, "cannot create " + path);
  return fd;
}

}  // namespace orvane
