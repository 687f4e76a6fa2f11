// The finisher: writes the output from the temporary tracks while they are
// still being recorded, so that the stop only writes what remains. It works
// a second behind the newest frame on a thread of idle priority once it has
// caught up, into a form of its own beside the output (the PCM file, or AAC
// packets in a spill); the temporary tracks stay the only source of truth,
// and the output's name is taken only at the stop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "finalize/interleave.h"
#include "track/timeline.h"
#include "platform/audio_file.h"

namespace orvane {

class Finisher {
 public:
  // Any thread: each track's timeline so far.
  struct Timelines {
    TrackTimeline mic;
    TrackTimeline system;
  };
  using Progress = std::function<Timelines()>;
  using CreateOutput = std::function<Result<std::shared_ptr<AudioFile>>(const std::string& path)>;

  // `mic` and `system` are where the tracks are read (absent: not recorded);
  // `cancelEcho`: voice processing (InterleaveStream).
  Finisher(std::string outputPath, std::string ownPath, AudioSettings settings, std::optional<std::string> mic,
           std::optional<std::string> system, Progress progress, CreateOutput create = {}, bool cancelEcho = false);
  ~Finisher();  // abandons the work unless it was handed over
  Finisher(const Finisher&) = delete;
  Finisher& operator=(const Finisher&) = delete;

  // Lets it make the output while the tracks grow. A finisher never started
  // (a recovery) makes it all at ready() and finish(), from the start of the
  // ended tracks, without drift correction.
  void start();
  // Any thread, repeatedly after start(): starts its thread once both rates
  // are measured (120 s of active time); until then it has nothing to do, so
  // a recording holds no thread for it. Its thread runs at the caller's
  // priority until it has caught up; one that falls 10 s behind at idle
  // priority ends, and the next poll starts another.
  void poll();

  // The stop, once the tracks are closed: whether the finisher can finish
  // the output, given the sources as the stop-time interleave would read them
  // and each track's final correction ratio (1: none). Frames it made more
  // than 0.5 ms from where the final ratios put them are made again, from
  // the first span that lies so far on. When it cannot finish (it failed,
  // never began, which a recording under 120 s of active time never lets it,
  // or would have to make again more than the later half of its frames or
  // any frame after an echo canceller), one diagnostic says why and its work
  // is removed.
  bool ready(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system, double micRatio,
             double systemRatio);
  // After ready(): writes the rest, closes, forces to storage and renames to
  // the output; the frames written, or nothing when that failed (said, and
  // nothing of the finisher's left on disk). An output without frames takes
  // the output's name only when `keepEmpty`.
  std::optional<int64_t> finish(InterleaveOutcome& outcome, bool keepEmpty = true);
  // Stops and removes its work; the stop makes the output itself.
  void abandon(const std::string& why);

  // Output frames written so far (after the thread stopped, or for tests).
  int64_t framesWritten() const { return written_.load(std::memory_order_relaxed); }

 private:
  void run();
  bool step();   // false when there is nothing more to do for now
  bool begin(const Timelines& now);  // opens the tracks and its output once the rates are measured
  void beginEnded(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system);
  Result<int64_t> writeRest();
  void fail(const std::string& why);
  void stopThread();
  bool sameSources(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system) const;
  void planRedo(double micRatio, double systemRatio);
  Status redo();

  const std::string outputPath_;
  const std::string ownPath_;
  const AudioSettings settings_;
  const std::optional<std::string> micPath_;
  const std::optional<std::string> systemPath_;
  const Progress progress_;
  const CreateOutput create_;
  const bool cancelEcho_;

  // The thread's until it is joined, then the stop's.
  InterleaveOutcome outcome_;
  std::unique_ptr<InterleaveStream> stream_;
  std::shared_ptr<AudioFile> output_;
  HeadAlignment plan_;
  Timelines begun_;  // the start times the plan was made from
  std::optional<int64_t> micFrames_, systemFrames_;  // the ended tracks' lengths
  double micRatio_ = 1, systemRatio_ = 1;
  std::optional<int64_t> redoFrom_;  // the output frame made again from there
  int64_t found_ = 0, left_ = 0;      // frames its last step could write, and left unwritten
  std::chrono::duration<double> pause_{0.5};
  bool started_ = false;
  bool ended_ = false;  // begun from ended tracks: nothing was made while recording
  std::optional<std::string> failure_;
  std::atomic<int64_t> written_{0};

  std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;    // lock_
  bool fellBehind_ = false;  // lock_: its thread ended to be started again at normal priority
  std::thread thread_;       // started under lock_
};

}  // namespace orvane
