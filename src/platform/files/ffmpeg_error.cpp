// FFmpeg error text and log level.
#include "platform/files/ffmpeg_error.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <mutex>

namespace orvane {

Error ffmpegError(int code, const std::string& context) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return Error{kFfmpegErrorDomain, code, context + ": " + text};
}

void quietFfmpegLogging() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

}  // namespace orvane
