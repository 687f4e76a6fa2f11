// The interleave of the two mono tracks into the stereo output file, as the
// finisher writes it.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "finalize/head_align.h"
#include "platform/audio_file.h"
#include "platform/error.h"

namespace orvane {

class SpeechTimeline;

// One input: the file to read, the active time of its first frame, and
// whether it is known to hold audio, so that failing to read it fails the
// output instead of leaving its channel silent.
struct TrackSource {
  std::string path;
  std::optional<double> startSeconds;
  bool holdsAudio = false;

  // The track at `path`, if there is one.
  static std::optional<TrackSource> of(const std::optional<std::string>& path, std::optional<double> start) {
    if (!path) return std::nullopt;
    return TrackSource{*path, start};
  }
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

// The interleave as a stream, of tracks still being recorded or ended: each
// advance writes the output frames that the tracks' frames so far decide, and
// once the tracks have ended, all the rest. The output is the same file,
// sample for sample, however it was cut.
class InterleaveStream {
 public:
  // Opens the inputs. `growing` tracks are still being appended to: they are
  // read in the track format only, and no further than follow() allows.
  // `cancelEcho`: the microphone channel has the system audio's echo taken
  // out where both tracks run (voice processing). `speech`: who spoke when
  // is told from the frames written (speech()).
  InterleaveStream(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system, bool growing,
                   InterleaveOutcome& outcome, bool cancelEcho = false, bool speech = false);
  ~InterleaveStream();
  bool ready() const;  // false when its buffers could not be allocated
  bool bothOpened() const;

  // Fixes the head alignment (only when both inputs opened); before any advance.
  const HeadAlignment& plan(std::optional<double> micStartSeconds, std::optional<double> systemStartSeconds);
  // Ended tracks: each corrected by its ratio (1: none) from its start; before any advance.
  void correct(double micRatio, double systemRatio);
  // Growing tracks: lets each be read up to `lagFrames` short of what its
  // file holds now, drift-corrected by its ratio (1: none) from here on; a
  // track whose ratio is not known yet waits.
  void follow(int64_t lagFrames, std::optional<double> micRatio, std::optional<double> systemRatio);
  // Growing tracks: about how many frames the next advance could write now.
  int64_t available() const;
  // Growing tracks: the output frame where the first span, of either, begins
  // whose frames lie more than `tolerance` frames from where the final ratios put them.
  std::optional<int64_t> firstMisplaced(double micRatio, double systemRatio, double tolerance) const;
  // The tracks have ended, at these lengths when known; the next advance
  // writes the rest, growing tracks corrected by the final ratios, also in
  // their spans from the first one more than `redoTolerance` frames off.
  void end(std::optional<int64_t> micFrames = std::nullopt, std::optional<int64_t> systemFrames = std::nullopt,
           double micRatio = 1, double systemRatio = 1, double redoTolerance = HUGE_VAL);
  // Growing tracks, without an echo canceller: the next advance writes from
  // output frame `frame` (at most the frames written) again.
  void rewind(int64_t frame);
  // Writes at most `maxFrames` frames more. A growing track that reads short
  // or a failed write is an error.
  Status advance(AudioFile& output, int64_t maxFrames);
  // A track that holds audio but could not be read would leave its channel
  // silent: that is a failed output, and the tracks stay for a recovery.
  Status lostAudio(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system) const;
  // The speech in the frames written so far, when asked for.
  const SpeechTimeline* speech() const;
  // A long AAC output from ended tracks, on all cores (nothing when it does
  // not apply: with an echo canceller or a speech timeline, whose state runs
  // from the first frame to the last).
  std::optional<Result<int64_t>> encodeInParallel(AudioFile& output, const AudioSettings& settings,
                                                  const std::string& outputPath);

 private:
  struct Inputs;
  void hear(uint32_t frames);
  Status writeLead(AudioFile& output, int64_t& budget);
  Status writeBoth(AudioFile& output, int64_t& budget);
  uint32_t cancelEcho(uint32_t frames, uint32_t capacity);
  std::array<int64_t, 2> trackOffsets() const;
  std::unique_ptr<Inputs> in_;
  bool growing_;
};

}  // namespace orvane
