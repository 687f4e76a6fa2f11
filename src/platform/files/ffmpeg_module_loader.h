// Finding and loading the FFmpeg module on first need, so a process that
// writes only WAV/AIFF/CAF from devices in the track's own format never maps
// libavformat, libavcodec or libswresample.
#pragma once

#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/files/ffmpeg_module.h"

namespace orvane {

// Where the module is looked for, in order: beside the running executable,
// in ../lib/orvane-capture/ from the executable's folder (the installed
// layout), then where this build put it (for tests and benchmarks elsewhere).
std::vector<std::string> ffmpegModuleCandidates();

// The first candidate that exists; the error names every place looked in.
Result<std::string> locateFfmpegModule(const std::vector<std::string>& candidates);

// Loads the module at `path` and checks its entry point and version. The
// module is never unloaded: files it created may outlive any caller.
Result<const FfmpegModule*> loadFfmpegModule(const std::string& path);

// The module of this process, located and loaded once (thread-safe); a
// failure is kept and returned to every later caller too.
Result<const FfmpegModule*> ffmpegModule();

}  // namespace orvane
