// The process's own limits, read when something failed for no reason its
// error states: a start that cannot reach the sound server, or cannot start
// a thread, may be short of memory or descriptors here, not there.
#pragma once

#include <optional>
#include <string>

namespace orvane {

// A sentence saying that the address space left under the limit (ulimit -v)
// cannot hold a recording's sound-server client; nothing when it can.
std::optional<std::string> addressSpaceShortage();

// A sentence naming the local shortage (address space or descriptors) with
// the figures and the limit that causes it; nothing when neither is short.
std::optional<std::string> localResourceShortage();

}  // namespace orvane
