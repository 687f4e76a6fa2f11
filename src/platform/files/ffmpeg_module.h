// The boundary of the FFmpeg module (orvane_ffmpeg.so): the one C
// entry point it exports and the table of factories that entry point hands back.
// Both sides are built from this tree by the same compiler, so C++ types may
// cross the table; the entry point is C only so that its name is stable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio/audio_converter.h"
#include "platform/audio_file.h"
#include "platform/files/aac_encoding.h"
#include "platform/error.h"
#include "platform/files/file_container.h"

namespace orvane {

// Raised whenever the table or a type that crosses it changes, so a module
// left over from an older build is refused instead of misread.
inline constexpr uint32_t kFfmpegModuleVersion = 4;
inline constexpr const char* kFfmpegModuleFileName = "orvane_ffmpeg.so";
inline constexpr const char* kFfmpegModuleEntryPoint = "orvane_ffmpeg_module";

struct FfmpegModule {
  uint32_t version;
  // A 16-bit PCM file written through libavformat; the settings
  // have been checked against the container. Nothing is read through
  // FFmpeg: every file this program reads is one libsndfile wrote.
  Result<std::shared_ptr<AudioFile>> (*createForWriting)(const std::string& path, const AudioSettings& settings,
                                                         const FileContainer& container);
  // The AAC encoder of aac_encoding.h, and FFmpeg's muxer for its packets.
  Result<std::unique_ptr<AacEncoder>> (*createAacEncoder)(const AudioSettings& settings, int64_t firstFrame);
  Result<std::unique_ptr<AacContainer>> (*createAacMuxer)(const std::string& path, const AacStream& stream,
                                                          const FileContainer& container);
  // Rate, channel and sample-type conversion over libswresample.
  std::unique_ptr<AudioConverter> (*createAudioConverter)(const AudioFormat& from, const AudioFormat& to,
                                                          AudioConverter::Largest largest);
};

using FfmpegModuleEntry = const FfmpegModule* (*)();

}  // namespace orvane
