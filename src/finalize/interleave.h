// The interleave of the two mono tracks into the stereo output file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/audio_file.h"
#include "platform/error.h"

namespace orvane {

// One input: the file to read and the active time of its first frame.
struct TrackSource {
  std::string path;
  std::optional<double> startSeconds;
};

// How the interleave fared with one input. A track that exists but could not
// be opened, or whose read failed part-way, is `failed`: its audio may be
// missing from the output, so its files are kept for another attempt.
enum class TrackRead { notOpened, missing, clean, failed };

struct InterleaveOutcome {
  TrackRead mic = TrackRead::notOpened;
  TrackRead system = TrackRead::notOpened;
  bool readFailed() const { return mic == TrackRead::failed || system == TrackRead::failed; }
};

// 16-bit linear PCM when `linearPCM`, else AAC; stereo at 48 kHz.
AudioSettings outputSettings(bool linearPCM);

// Writes `outputPath` with the microphone on the left and system audio on the
// right, heads aligned by their start times; an absent source is silence.
// Returns the frames written; fails when the output cannot be created,
// written or finished. `outcome` says how each input was read either way.
// `cancelEcho`: where both tracks run, the microphone channel has the system
// audio's echo taken out (voice processing).
Result<int64_t> interleaveTracks(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system,
                                 const std::string& outputPath, const AudioSettings& settings,
                                 InterleaveOutcome& outcome, bool cancelEcho = false);

}  // namespace orvane
