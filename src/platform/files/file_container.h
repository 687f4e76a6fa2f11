// FileContainer: the one table that maps an output path's last extension to
// the container and library that write it, and the errors of that choice.
#pragma once

#include <cstdint>
#include <string>

#include "platform/audio_file.h"
#include "platform/error.h"

namespace orvane {

// Errors raised by the file layer itself (not by a library or the kernel).
inline constexpr const char* kAudioFileErrorDomain = "audio-file";
enum AudioFileErrorCode : int64_t {
  kUnsupportedContainer = 1,  // extension not in the table, or encoding it cannot hold
  kUnsupportedSettings = 2,   // an encoding the writer does not produce
  kBufferFormatMismatch = 3,  // a buffer not in the file's processing format
  kWriterUnavailable = 4,     // the FFmpeg writer module cannot be found or loaded
};

struct FileContainer {
  const char* extension;     // lower case, without the dot
  const char* pcmMuxer;      // FFmpeg muxer for 16-bit PCM; null when libsndfile writes PCM or none can
  int sndfileFormat;         // libsndfile major format for 16-bit PCM, 0 when none
  const char* aacMuxer;      // FFmpeg muxer for AAC, null when the container cannot hold AAC
  bool exactLengthTimescale; // a mov-family muxer: set its movie timescale to the sample rate

  bool holdsLinearPCM() const { return pcmMuxer != nullptr || sndfileFormat != 0; }
};

// The lower-case last extension of the path's file name, without the dot; empty when none.
std::string lastExtension(const std::string& path);

// The container for the path's extension, or null when the extension is not supported.
const FileContainer* findContainer(const std::string& path);

// Checks that the settings describe an encoding we write into that container;
// the error names the extension and the encoding.
Status checkEncoding(const std::string& path, const AudioSettings& settings);

Error audioFileError(AudioFileErrorCode code, const std::string& description);

}  // namespace orvane
