// Recovery mode: the temporary tracks left by a run that died, turned into
// the output file.
#pragma once

#include <string>

namespace orvane {

// Main thread; ends the process with its terminal line. A track left out by
// `withMic`/`withSystem` is neither read nor removed. `cancelEcho` and
// `speech`: as the stop would with voice processing and a speech timeline.
[[noreturn]] void finalizeFromTemps(const std::string& outputPath, bool withMic, bool withSystem,
                                    bool cancelEcho = false, bool speech = false);

}  // namespace orvane
