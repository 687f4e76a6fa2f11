// The permission mode: "--check-permissions" and "--request-permission <kind>"
// answer with one JSON line and end the process.
#pragma once

#include <string>
#include <vector>

namespace orvane {

class Permissions;

// Returns only when no permission word is among `args`; otherwise writes one
// line and exits (0, or 2 for an unknown kind).
void handlePermissionsCLIIfRequested(const std::vector<std::string>& args, Permissions& permissions);

// The word for a microphone authorization status.
const char* microphoneStatusWord(int status);

}  // namespace orvane
