// The AAC output as the finisher makes it while recording: the frames are
// encoded as they come, and their packets go into the container under the
// finisher's own name (which a recovery removes) and into an unnamed spill
// beside it. The close writes the container's end, so a stop does not grow
// with the recording. A cut-back drops the container, and the close writes it
// again from the spill.
#pragma once

#include <memory>
#include <string>

#include "platform/audio_file.h"

namespace orvane {

// An AudioFile that takes stereo frames in order into `path` (with
// `settings`); close() encodes the last of them and ends the container.
Result<std::shared_ptr<AudioFile>> createSpilledAac(const std::string& path, const AudioSettings& settings);

}  // namespace orvane
