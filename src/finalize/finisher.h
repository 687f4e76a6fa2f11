// The finisher, the one way to the output: it writes the output from the
// temporary tracks while they are still being recorded, so that the stop only
// writes what remains, and from the ended tracks when there is nothing it
// made to go on from (a recovery, a recording too short to measure, work it
// gave up). While recording it works a second behind the newest frame on a
// thread of the lowest priority (nice 19) once it has caught up, into a form of its own
// beside the output (the PCM file, or AAC packets in a spill); the temporary
// tracks stay the only source of truth, and the output's name is taken only
// once the output is whole on storage.
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
#include "finalize/live_audio.h"
#include "track/timeline.h"
#include "platform/audio_file.h"

namespace orvane {

class Finisher {
 public:
  // Any thread: each track's timeline so far.
  using Timelines = TrackTimelines;
  using Progress = std::function<Timelines()>;
  using CreateOutput = std::function<Result<std::shared_ptr<AudioFile>>(const std::string& path)>;

  // `mic` and `system` are where the tracks are read (absent: not recorded);
  // `cancelEcho`: voice processing (InterleaveStream). `speech`: the
  // output's speech timeline goes beside it (writeSpeechTimeline).
  Finisher(std::string outputPath, std::string ownPath, AudioSettings settings, std::optional<std::string> mic,
           std::optional<std::string> system, Progress progress, CreateOutput create = {}, bool cancelEcho = false,
           bool speech = false);
  ~Finisher();  // abandons the work unless it was handed over
  Finisher(const Finisher&) = delete;
  Finisher& operator=(const Finisher&) = delete;

  // Before start(): the same interleave handed to a host as it is made, from
  // the tracks' first frames (live_audio.h); ended at ready().
  void setLive(std::unique_ptr<LiveAudio> live) { live_ = std::move(live); }
  // Lets it make the output while the tracks grow. A finisher never started
  // (a recovery) makes it all at finish(), from the start of the ended tracks.
  void start();
  // Any thread, repeatedly after start(): starts its thread once both rates
  // are measured (120 s of active time); until then it has nothing to do, so
  // a recording holds no thread for it. Its thread runs at the caller's
  // priority until it has caught up; one that falls 10 s behind at idle
  // priority ends, and the next poll starts another.
  void poll();
  // Any thread, at a normal priority: below the disk's reserve, its file is
  // given up at once (emptied and removed), without waiting for its thread,
  // which may be starved at idle priority: the tracks win the disk's last
  // bytes. The stop then makes the output afresh.
  void watchDisk();

  // The stop, once the tracks are closed: the sources as they ended and each
  // track's final correction ratio (1: none). Frames it made more than 0.5 ms
  // from where the final ratios put them are made again, from the first span
  // that lies so far on. Whether what it made while recording stands: when
  // not (it failed, never began, which a recording under 120 s of active time
  // never lets it, or would have to make again more than the later half of
  // its frames or any frame after an echo canceller), one diagnostic says
  // why, its work is removed and finish() makes the output afresh. The live
  // audio gets the rest of the tracks first and is closed.
  bool ready(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system, double micRatio,
             double systemRatio);
  // After ready(): writes the rest, or all of it from the ended tracks, and
  // renames the file to the output once it is whole on storage; the frames
  // written. On failure nothing of the finisher's is left on disk and
  // whatever was at the output stays. An output without frames takes the
  // output's name only when `keepEmpty`. The speech timeline follows the
  // output into place; without an output there is none (said).
  Result<int64_t> finish(InterleaveOutcome& outcome, bool keepEmpty = true);

  // Output frames written so far (after the thread stopped, or for tests).
  int64_t framesWritten() const { return written_.load(std::memory_order_relaxed); }

 private:
  void run();
  bool step();   // false when there is nothing more to do for now
  bool begin(const Timelines& now);  // opens the tracks and its output once the rates are measured
  std::optional<int64_t> finishGrowing();
  Result<int64_t> finishEnded(bool keepEmpty);
  Result<int64_t> writeEnded(const std::string& path);
  void placeSpeech(bool outputPlaced);
  void fail(const std::string& why);
  void abandon(const std::string& why);  // stops, removes its work and says why
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
  const bool speech_;
  std::unique_ptr<LiveAudio> live_;

  // The thread's until it is joined, then the stop's.
  InterleaveOutcome outcome_;
  std::unique_ptr<InterleaveStream> stream_;
  std::shared_ptr<AudioFile> output_;
  HeadAlignment plan_;
  Timelines begun_;  // the start times the plan was made from
  std::optional<TrackSource> micEnded_, systemEnded_;  // the tracks as the stop found them
  std::optional<int64_t> micFrames_, systemFrames_;  // the ended tracks' lengths
  double micRatio_ = 1, systemRatio_ = 1;
  std::optional<int64_t> redoFrom_;  // the output frame made again from there
  int64_t found_ = 0, left_ = 0;      // frames its last step could write, and left unwritten
  std::chrono::duration<double> pause_{0.5};
  bool started_ = false;
  std::optional<std::string> failure_;  // written under lock_; read by its thread, poll() under lock_
  std::atomic<int64_t> written_{0};

  std::mutex lock_;
  std::condition_variable wake_;
  std::atomic<bool> stopping_{false};  // set under lock_ and diskLock_, for wake_; read between chunks without it
  // watchDisk() removed its file: its thread and the stop give the work up.
  // diskLock_ orders that removal before the stop's (never held by its thread).
  std::atomic<bool> diskGivenUp_{false};
  std::mutex diskLock_;
  bool fellBehind_ = false;  // lock_: its thread ended to be started again at normal priority
  std::thread thread_;       // started under lock_
};

// The output from ended tracks at once, as a finisher never started makes it
// (a recovery): each track corrected by its ratio (1: none).
Result<int64_t> finishEndedTracks(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system,
                                  double micRatio, double systemRatio, const std::string& outputPath,
                                  const AudioSettings& settings, InterleaveOutcome& outcome, bool keepEmpty = true,
                                  bool cancelEcho = false, bool speech = false);

// The timeline as NAME.speech.json beside the output, written beside it
// under another name, forced to storage and renamed into place: a crash
// leaves the whole file or none.
Status writeSpeechTimeline(const SpeechTimeline& speech, const std::string& outputPath);

}  // namespace orvane
