// TrackWriter: the one thread that writes both tracks. It keeps its own pace:
// every round (kRoundSeconds unless set) it appends what the capture side handed over, sooner
// when a track rings its doorbell (half a ring in flight), and it forces the
// files to storage every flush period, after the appends before, so that a
// crash loses at most that stretch.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "platform/runtime/doorbell.h"
#include "track/track.h"

namespace orvane {

class TrackWriter {
 public:
  static constexpr double kRoundSeconds = 0.25;
  static constexpr double kFlushSeconds = 45.0;

  // Starts the thread; `bell` is the one the tracks ring. The first flush
  // comes a flush period after the first round that finds a track open.
  TrackWriter(Doorbell& bell, std::vector<Track*> tracks, double flushSeconds = kFlushSeconds);
  ~TrackWriter();  // a last round, then the thread ends
  // Any thread: rounds from the next one on come every `seconds` (a host
  // hearing the recording live reads the tracks as they are appended).
  void setRoundSeconds(double seconds) { round_ = seconds; }
  TrackWriter(const TrackWriter&) = delete;
  TrackWriter& operator=(const TrackWriter&) = delete;

 private:
  void run();

  Doorbell& bell_;
  const std::vector<Track*> tracks_;
  const double flushSeconds_;
  std::atomic<double> round_{kRoundSeconds};
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

}  // namespace orvane
