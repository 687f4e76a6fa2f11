// Process entry of orvane-capture: the sound-server backend and the entry sequence.
#include "cli/entry.h"
#include "platform/backend.h"

int main(int argc, char** argv) {
  orvane::openClosedStandardStreams();
  // Leaked on purpose: the process ends through _exit while its threads still use it.
  auto* backend = orvane::makePulseBackend().release();
  return orvane::runMain(argc, argv, *backend);
}
