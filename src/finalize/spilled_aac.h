// The AAC output as the finisher makes it while recording: the frames are
// encoded as they come and their packets parked in an unnamed spill beside
// the output; the AAC file itself is written from the spill at the close, so
// a crash before it leaves no half-made file anywhere.
#pragma once

#include <memory>
#include <string>

#include "platform/audio_file.h"

namespace orvane {

// An AudioFile that takes stereo frames in order; close() encodes the last of
// them, creates `path` with `settings` and writes every packet into it.
Result<std::shared_ptr<AudioFile>> createSpilledAac(const std::string& path, const AudioSettings& settings);

}  // namespace orvane
