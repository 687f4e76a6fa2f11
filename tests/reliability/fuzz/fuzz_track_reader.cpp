// Fuzzing the reader that recovery trusts with damaged tracks: any bytes as a .caf file, opened and read to the end as the interleave reads it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/audio_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/orvane-fuzz-" + std::to_string(getpid()) + ".caf";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  auto opened = orvane::AudioFile::openForReading(path);
  if (opened) {
    auto& track = *opened.value();
    auto buffer = orvane::PcmBuffer::create(track.processingFormat(), 8192);
    for (int chunk = 0; buffer && chunk < 64; ++chunk) {
      if (track.read(*buffer, 8192) || buffer->frameLength() == 0) break;
    }
  }
  return 0;
}
