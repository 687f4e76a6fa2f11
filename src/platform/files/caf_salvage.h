// Reading a CAF track whose header no longer matches its data: a copy cut
// short, or a disk that filled after the header declared more. libsndfile
// refuses such a file; what it holds is still audio, and recovery wants all
// of it.
#pragma once

#include <memory>
#include <string>

#include "platform/audio_file.h"

namespace orvane {

// Opens the linear PCM in a CAF file for reading as far as its data goes;
// fails when the file is no CAF, is not linear PCM, or has no data chunk.
// A `growing` file is one still being appended to: its length is what it
// holds at each call, so a reader may follow the writer.
Result<std::shared_ptr<AudioFile>> openSalvagedCaf(const std::string& path, bool growing = false);

}  // namespace orvane
