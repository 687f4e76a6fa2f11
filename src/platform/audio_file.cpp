// Choosing the writer or reader behind an AudioFile.
#include "platform/audio_file.h"

#include "platform/ffmpeg_audio_file.h"
#include "platform/file_container.h"
#include "platform/sndfile_audio_file.h"

namespace orvane {

Result<std::shared_ptr<AudioFile>> AudioFile::createForWriting(const std::string& path,
                                                               const AudioSettings& settings,
                                                               WriteDurability durability) {
  // Checked before the file is touched, so a refused request leaves any
  // existing file at the path as it was.
  if (Status error = checkEncoding(path, settings)) return *error;
  const FileContainer& container = *findContainer(path);
  const bool pcm = settings.formatId == AudioFormatId::linearPCM;
  if (pcm && container.sndfileFormat != 0) {
    return SndfileAudioFile::createForWriting(path, settings, container.sndfileFormat, durability);
  }
  return FfmpegAudioFile::createForWriting(path, settings, container);
}

Result<std::shared_ptr<AudioFile>> AudioFile::openForReading(const std::string& path) {
  return SndfileAudioFile::openForReading(path);
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
