// Fuzzing the control channel's parser: any bytes, in reads cut anywhere, and a "stop" line after them must still stop.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/control_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  orvane::ControlParser parser;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t cut = bytes.empty() ? 0 : data[0] % (bytes.size() + 1);
  parser.feed(bytes.substr(0, cut));
  parser.feed(bytes.substr(cut));
  const auto commands = parser.feed("\nstop\n");
  if (commands.empty() || commands.back() != orvane::ControlCommand::stop) std::abort();
  return 0;
}
