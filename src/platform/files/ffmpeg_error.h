// Errors from FFmpeg's libraries as Error values, and keeping those libraries
// off our standard error (which carries only our own prefixed diagnostics).
#pragma once

#include <string>

#include "platform/error.h"

namespace orvane {

inline constexpr const char* kFfmpegErrorDomain = "ffmpeg";

// Domain "ffmpeg", the AVERROR code, and FFmpeg's text for it after `context`.
Error ffmpegError(int code, const std::string& context);

// Silences FFmpeg's own logging; failures come back as values instead. Idempotent.
void quietFfmpegLogging();

}  // namespace orvane
