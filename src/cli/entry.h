// The process entry sequence, shared by the product and the test executable
// that runs it against a scripted backend.
#pragma once

namespace orvane {

class Backend;

// Opens /dev/null on standard input, output or error where the host left
// them closed. Call first, before anything opens a descriptor.
void openClosedStandardStreams();

// Never returns in normal use: every mode ends through the exit gate.
int runMain(int argc, char** argv, Backend& backend);

}  // namespace orvane
