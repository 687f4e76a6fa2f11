// Creation of a private (0600) file that is never reached through a symlink.
#pragma once

#include <string>

#include "platform/error.h"

namespace orvane {

// Creates or truncates the file at `path` for reading and writing, mode 0600
// for a new file, close-on-exec. A symlink at the path fails with ELOOP and is
// never followed, so a planted link cannot redirect our writes.
Result<int> createPrivateFile(const std::string& path);

}  // namespace orvane
