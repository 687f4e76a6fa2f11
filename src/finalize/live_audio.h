// The live audio: the output's interleave handed to a host over a socket as
// it is made. It is the finisher's stream (InterleaveStream) over the same
// growing tracks, with the same head alignment, drift correction span by span
// and echo canceller, read a fraction of a second behind the writer instead
// of a second, from the first frames on, on a thread at normal priority. At
// the stop it writes the rest at the final ratios, so its frames are the
// output's; at 16 kHz they go through the sinc resampler first. The socket
// never holds it: a host that does not read loses whole chunks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "finalize/interleave.h"
#include "platform/runtime/stream_socket.h"
#include "track/timeline.h"

namespace orvane {

class LiveOutput;

class LiveAudio {
 public:
  using Progress = std::function<TrackTimelines()>;
  // Chunks of interleaved 16-bit frames at `rate` (16000 or 48000) into `socket`.
  LiveAudio(std::unique_ptr<StreamSocket> socket, int rate);
  ~LiveAudio();
  LiveAudio(const LiveAudio&) = delete;
  LiveAudio& operator=(const LiveAudio&) = delete;

  // Starts its thread, which begins once both tracks' heads are fixed (half
  // a second in); the tracks' paths as the finisher reads them.
  void start(std::optional<std::string> mic, std::optional<std::string> system, Progress progress,
             bool cancelEcho);
  // The stop, once the tracks are closed: what they hold to their end, at
  // the final ratios; then the socket is closed.
  void end(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system,
           std::optional<int64_t> micFrames, std::optional<int64_t> systemFrames, double micRatio,
           double systemRatio);

 private:
  void run();
  void step();
  bool begin(std::optional<double> micStart, std::optional<double> systemStart);
  void giveUp(const std::string& why);

  std::unique_ptr<LiveOutput> output_;
  std::optional<std::string> micPath_, systemPath_;
  Progress progress_;
  bool cancelEcho_ = false;
  InterleaveOutcome outcome_;
  std::unique_ptr<InterleaveStream> stream_;  // its thread's, then end()'s

  std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;  // lock_
  std::thread thread_;
};

}  // namespace orvane
