// StreamSocket: the writing end of a Unix-domain stream socket that a host
// listens on, written without ever waiting: a message goes in whole or not at
// all, so a reader that falls behind loses whole messages and the stream
// stays framed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"

namespace orvane {

class StreamSocket {
 public:
  // Connects to the socket a host listens on at `path` (a host that listens
  // accepts at once: the connection waits in its backlog).
  static Result<std::unique_ptr<StreamSocket>> connect(const std::string& path);
  ~StreamSocket();
  StreamSocket(const StreamSocket&) = delete;
  StreamSocket& operator=(const StreamSocket&) = delete;

  enum class Sent { whole, noRoom, closed };
  // Takes `message` whole (what the socket has no room for yet is kept and
  // goes first next time), or, when the socket holds no room for its first
  // byte or a message is still partly kept, not at all.
  Sent send(const uint8_t* message, size_t size);
  // Pushes out what a send kept, waiting at most `seconds` for the reader;
  // false when some is left.
  bool drain(double seconds);

 private:
  explicit StreamSocket(int fd) : fd_(fd) {}
  Sent sendKept();
  int fd_;
  std::vector<uint8_t> kept_;  // the end of the last message, not sent yet
  size_t keptFrom_ = 0;
};

}  // namespace orvane
