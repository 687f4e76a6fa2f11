// The writer's rounds.
#include "track/track_writer.h"

#include <pthread.h>

#include <chrono>

namespace orvane {

TrackWriter::TrackWriter(Doorbell& bell, std::vector<Track*> tracks, double flushSeconds)
    : bell_(bell), tracks_(std::move(tracks)), flushSeconds_(flushSeconds), thread_([this] { run(); }) {
  pthread_setname_np(thread_.native_handle(), "writer");
}

TrackWriter::~TrackWriter() {
  quit_ = true;
  bell_.ring();
  thread_.join();
}

void TrackWriter::run() {
  using Clock = std::chrono::steady_clock;
  const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(flushSeconds_));
  Clock::time_point nextFlush{};
  for (bool last = false; !last;) {
    bell_.wait(round_.load());
    last = quit_;
    const Clock::time_point now = Clock::now();
    const bool flush = nextFlush != Clock::time_point{} && now >= nextFlush;
    for (Track* track : tracks_) {
      if (flush) track->sync();
      else track->drain();
      if (nextFlush == Clock::time_point{} && track->isOpen()) nextFlush = now + period;
    }
    if (flush) nextFlush = now + period;
  }
}

}  // namespace orvane
