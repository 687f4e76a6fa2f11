// Choosing the writer or reader behind an AudioFile.
#include "platform/audio_file.h"

#include "platform/files/aac_file.h"
#include "platform/files/ffmpeg_module_loader.h"
#include "platform/files/caf_reader.h"
#include "platform/files/file_container.h"
#include "platform/files/private_file.h"
#include "platform/files/sndfile_audio_file.h"

namespace orvane {
namespace {

bool needsFfmpeg(const FileContainer& container, const AudioSettings& settings) {
  return settings.formatId != AudioFormatId::linearPCM || container.sndfileFormat == 0;
}

}  // namespace

Result<std::shared_ptr<AudioFile>> AudioFile::createForWriting(const std::string& path,
                                                               const AudioSettings& settings,
                                                               WriteDurability durability) {
  // Checked before the file is touched, so a refused request leaves any
  // existing file at the path as it was.
  if (Status error = checkEncoding(path, settings)) return *error;
  const FileContainer& container = *findContainer(path);
  if (!needsFfmpeg(container, settings)) {
    return SndfileAudioFile::createForWriting(path, settings, container.sndfileFormat, durability);
  }
  if (settings.formatId == AudioFormatId::mpeg4AAC) return createAacFile(path, settings, container);
  Result<const FfmpegModule*> module = ffmpegModule();
  if (!module) return module.error();
  return (*module)->createForWriting(path, settings, container);
}

Status checkCanCreate(const std::string& path, const AudioSettings& settings) {
  if (Status error = checkEncoding(path, settings)) return error;
  if (Status error = checkOutputPath(path)) return error;
  // Finding the module is a stat or two; loading it would map FFmpeg for the
  // whole recording, which is what deferring it to the stop avoids.
  if (!needsFfmpeg(*findContainer(path), settings)) return std::nullopt;
  Result<std::string> module = locateFfmpegModule();
  if (!module) return module.error();
  return std::nullopt;
}

Result<std::shared_ptr<AudioFile>> AudioFile::openForReading(const std::string& path) {
  return openCafForReading(path);
}

AudioSettings linearPCM16Settings(double sampleRate, uint32_t channelCount) {
  AudioSettings settings;
  settings.formatId = AudioFormatId::linearPCM;
  settings.sampleRate = sampleRate;
  settings.channelCount = channelCount;
  settings.bitDepth = 16;
  settings.isFloat = false;
  settings.isBigEndian = false;
  settings.isNonInterleaved = false;
  return settings;
}

bool containerHoldsLinearPCM(const std::string& path) {
  const FileContainer* container = findContainer(path);
  return container && container->holdsLinearPCM();
}

}  // namespace orvane
