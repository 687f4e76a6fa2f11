// AacFile: the one way AAC is written. Frames go through one encoder into
// the output's container (ours for the MPEG-4 files, FFmpeg's muxer for the
// rest); a long output encoded on several cores hands in its segments'
// packets instead. Used by the finisher while recording and at the stop, and
// for every output made afresh from ended tracks.
#pragma once

#include <memory>
#include <string>

#include "platform/audio_file.h"
#include "platform/files/aac_encoding.h"
#include "platform/files/file_container.h"

namespace orvane {

// An AAC file at `path`; the settings have been checked against the container.
Result<std::shared_ptr<AudioFile>> createAacFile(const std::string& path, const AudioSettings& settings,
                                                 const FileContainer& container);

// Appends a packet of another encoder to `output`, an AAC file that nothing
// has been written to through write(). Packets go in time order.
Status writeAacPacket(AudioFile& output, const AacPacket& packet);

}  // namespace orvane
