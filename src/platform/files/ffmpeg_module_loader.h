// Finding and loading the FFmpeg module on first need, so a process that
// writes only WAV/AIFF/CAF from devices in the track's own format never maps
// libavformat, libavcodec or libswresample.
#pragma once

#include <string>

#include "platform/error.h"
#include "platform/files/ffmpeg_module.h"

namespace orvane {

// Where the module is, the first that exists of: beside the running
// executable, in ../lib/orvane-capture/ from the executable's folder (the
// installed layout), where this build put it (for tests and benchmarks
// elsewhere). The error names every place looked in.
Result<std::string> locateFfmpegModule();

// The module of this process, located and loaded once (thread-safe), its
// entry point and version checked; a failure is kept and returned to every
// later caller too. It is never unloaded: files it created may outlive any caller.
Result<const FfmpegModule*> ffmpegModule();

}  // namespace orvane
