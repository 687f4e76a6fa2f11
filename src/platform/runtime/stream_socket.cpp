// Connecting to a host's Unix-domain socket and writing to it without waiting.
#include "platform/runtime/stream_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace orvane {

Result<std::unique_ptr<StreamSocket>> StreamSocket::connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return posixError(ENAMETOOLONG, path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return posixError(errno, path);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    return posixError(error, path);
  }
  // Connected while blocking, so that a listener's full backlog is waited
  // for rather than refused; every write from here on is tried, not waited for.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    const int error = errno;
    ::close(fd);
    return posixError(error, path);
  }
  return std::unique_ptr<StreamSocket>(new StreamSocket(fd));
}

StreamSocket::~StreamSocket() { ::close(fd_); }

StreamSocket::Sent StreamSocket::sendKept() {
  while (keptFrom_ < kept_.size()) {
    const ssize_t sent = ::send(fd_, kept_.data() + keptFrom_, kept_.size() - keptFrom_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Sent::noRoom;
    if (sent <= 0) return Sent::closed;
    keptFrom_ += static_cast<size_t>(sent);
  }
  kept_.clear();
  keptFrom_ = 0;
  return Sent::whole;
}

StreamSocket::Sent StreamSocket::send(const uint8_t* message, size_t size) {
  if (Sent before = sendKept(); before != Sent::whole) return before;
  size_t done = 0;
  while (done < size) {
    const ssize_t sent = ::send(fd_, message + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (done == 0) return Sent::noRoom;
      kept_.assign(message + done, message + size);  // begun: it is finished before anything else
      return Sent::whole;
    }
    if (sent <= 0) return Sent::closed;
    done += static_cast<size_t>(sent);
  }
  return Sent::whole;
}

bool StreamSocket::drain(double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    const Sent sent = sendKept();
    if (sent != Sent::noRoom) return sent == Sent::whole;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd writable{fd_, POLLOUT, 0};
    ::poll(&writable, 1, static_cast<int>(left.count()));
  }
}

}  // namespace orvane
