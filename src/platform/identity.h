// Who this helper is to the system: the reverse-DNS name that prefixes its
// queue labels and identifies it to the sound server.
#pragma once

namespace orvane {

inline constexpr const char* kBundleIdentifier = "dev.orvane.capture";

}  // namespace orvane
