// The entry point of the FFmpeg module; the only symbol it exports
// (see ffmpeg_module.map).
#include "platform/files/ffmpeg_module.h"

#include "platform/files/ffmpeg_aac_encoder.h"
#include "platform/files/ffmpeg_audio_converter.h"
#include "platform/files/ffmpeg_audio_file.h"

extern "C" __attribute__((visibility("default"))) const orvane::FfmpegModule* orvane_ffmpeg_module() {
  static const orvane::FfmpegModule table{orvane::kFfmpegModuleVersion, &orvane::FfmpegAudioFile::createForWriting,
                                          &orvane::FfmpegAacEncoder::create, &orvane::FfmpegAudioFile::createAacMuxer,
                                          &orvane::createFfmpegAudioConverter};
  return &table;
}
