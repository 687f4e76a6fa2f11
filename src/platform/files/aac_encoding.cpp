// The core's side of the AAC encoder: it goes through the FFmpeg module's table.
#include "platform/files/aac_encoding.h"

#include "platform/files/ffmpeg_module_loader.h"

namespace orvane {

Result<std::unique_ptr<AacEncoder>> createAacEncoder(const AudioSettings& settings, int64_t firstFrame) {
  Result<const FfmpegModule*> module = ffmpegModule();
  if (!module) return module.error();
  return (*module)->createAacEncoder(settings, firstFrame);
}

}  // namespace orvane
