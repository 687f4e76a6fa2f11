// Permission query and request lines, built by concatenation of fixed words.
#include "cli/permissions_cli.h"

#include <algorithm>
#include <future>
#include <memory>

#include "events/output.h"
#include "platform/permissions.h"

namespace orvane {

namespace {

[[noreturn]] void answer(const std::string& json) {
  emit(json);
  exitProcess(0);
}

bool requestMicrophoneAndWait(Permissions& permissions) {
  auto granted = std::make_shared<std::promise<bool>>();
  auto answered = granted->get_future();
  permissions.requestMicrophone([granted](bool value) { granted->set_value(value); });
  return answered.get();
}

}  // namespace

const char* microphoneStatusWord(int status) {
  switch (status) {
    case 0: return "notDetermined";
    case 1:
    case 2: return "denied";
    case 3: return "granted";
    default: return "unknown";
  }
}

void handlePermissionsCLIIfRequested(const std::vector<std::string>& args, Permissions& permissions) {
  if (std::find(args.begin(), args.end(), "--check-permissions") != args.end()) {
    const char* mic = microphoneStatusWord(permissions.microphoneStatus());
    const char* screen = permissions.preflightSystemAudio() ? "granted" : "denied";
    answer(std::string("{\"microphone\":\"") + mic + "\",\"screen\":\"" + screen + "\"}");
  }
  auto request = std::find(args.begin(), args.end(), "--request-permission");
  if (request == args.end()) return;
  const std::string kind = request + 1 != args.end() ? *(request + 1) : std::string();
  bool granted;
  if (kind == "microphone") granted = requestMicrophoneAndWait(permissions);
  else if (kind == "screen") granted = permissions.requestSystemAudio();
  else fail("args", "unknown permission kind " + kind);
  answer(std::string("{\"granted\":") + (granted ? "true" : "false") + "}");
}

}  // namespace orvane
