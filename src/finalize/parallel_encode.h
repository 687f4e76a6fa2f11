// The AAC encode of a long interleave on several cores: the output timeline
// is cut into one segment per core, each segment is encoded on its own thread
// and its packets are written into the output in order. Works on plain values:
// two mono tracks placed on the timeline, and the AAC output to fill.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_file.h"
#include "platform/error.h"

namespace orvane {

// A mono track on the output timeline: its first frame is output frame
// `offset`; it is corrected by `ratio` (1: none) into `frames` frames.
struct TimelineTrack {
  std::string path;  // empty: no track, its channel is silent
  int64_t offset = 0;
  int64_t frames = 0;
  double ratio = 1;
};

struct AacSegmenting {
  unsigned workers;          // segments at most: one per core
  double minSegmentSeconds;  // a shorter timeline gets fewer segments
  // Frames encoded before a segment and thrown away, so that the encoder's
  // adaptive state (window choice, bit allocation) has settled on the audio
  // by the segment's start; a multiple of the 1024-frame AAC frame.
  int64_t prerollFrames;
};

// Process-wide; tests shorten the segments so that seconds of audio make several.
AacSegmenting& aacSegmenting();

// Output frames [start, end).
struct Segment {
  int64_t start = 0;
  int64_t end = 0;
  bool operator==(const Segment&) const = default;
};

// Cuts [0, totalFrames) into segments of equal length, as many as there are
// workers but none shorter than the minimum (always at least one); every
// boundary falls on a 1024-frame AAC frame of the timeline.
std::vector<Segment> planSegments(int64_t totalFrames, double sampleRate, const AacSegmenting& how);

// Encodes tracks[0] on channel 0 and tracks[1] on channel 1 into `output`, an
// AAC file just created with `settings` at `outputPath`, one segment per
// thread. Returns the frames written, or the error of a failed encode or write.
// Returns nothing, with nothing written to the output, when the timeline makes
// a single segment or a track does not read as far as its length says; the
// caller's single pass then writes the output and deals with the track.
std::optional<Result<int64_t>> encodeAacInParallel(AudioFile& output, const AudioSettings& settings,
                                                   const std::string& outputPath,
                                                   const std::array<TimelineTrack, 2>& tracks);

}  // namespace orvane
