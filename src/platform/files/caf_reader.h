// Reading the linear PCM in a CAF file, the temporary tracks' container, as
// far as its data goes: a track whose writer was killed, or whose disk filled
// after the header declared more, still holds audio that recovery wants all
// of, so only the bytes that exist are trusted, never the declared size.
#pragma once

#include <memory>
#include <string>

#include "platform/audio_file.h"

namespace orvane {

// Fails when the file is no regular file, no CAF, not linear PCM, or has no
// data chunk. A `growing` file is one still being appended to: its length is
// what it holds at each call, so a reader may follow the writer.
Result<std::shared_ptr<AudioFile>> openCafForReading(const std::string& path, bool growing = false);

}  // namespace orvane
