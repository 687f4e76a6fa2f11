// A libpulse record stream's life, for both inputs' PulseRecordStream:
// creating and connecting it (newRecordStream, connectRecordStream), when to
// read (ReadPacer), the read loop with the raw stamp of each fragment
// (readFragments), and the tear-down (releaseRecordStream).
#pragma once

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace orvane {

class PulseClient;

// Server-side fragment of a record stream, in frames (85 ms at 48 kHz): a
// power of two. PipeWire's PulseAudio server sends a record stream exactly
// fragsize bytes at a time and keeps the rest back, and its graph runs in
// power-of-two quanta: any other size leaves a remainder there that grows by
// the difference every fragment, up to a quantum (tens of ms), unseen by the
// raw stamps, which then drift in a slow saw-tooth. It is also a block's usual
// size, so that one fragment is one read.
inline constexpr uint32_t kPulseFragmentFrames = 4096;
// What the server keeps for a stream that is not read (a stopped or starved
// helper, a full ring); the server may grant less (PulseAudio: 4 MB).
inline constexpr double kServerHoldSeconds = 10.5;

// The owner's handlers of a record stream's events, all run on the loop thread.
struct RecordStreamHandlers {
  void* owner;
  pa_stream_notify_cb_t state;
  pa_stream_request_cb_t read;
  pa_stream_notify_cb_t moved;
  pa_stream_notify_cb_t suspended;
};

// Loop lock held: a record stream named `name` (as mixers show it) with the
// handlers set, or nullptr when the server refuses. A `linkGroup` (PipeWire's
// node.link-group; others ignore it) is given when not null.
pa_stream* newRecordStream(pa_context* context, const char* name, const pa_sample_spec& spec,
                           const pa_channel_map* map, const RecordStreamHandlers& handlers,
                           const char* linkGroup = nullptr);
// Loop lock held: the stream's handlers from now on (a null one is none).
void setRecordStreamHandlers(pa_stream* stream, const RecordStreamHandlers& handlers);

struct ConnectFailure {
  std::string why;
  bool linkedElsewhere = false;  // ready, but on another source, and not to be moved back
};

// Loop lock held: connects the stream to `source` in fragments of
// kPulseFragmentFrames and waits, bounded, until it is ready and linked to
// `source` (moved back there if the server linked it elsewhere). On failure
// says why, calling the stream `what`; the caller releases it. `stream` is
// watched by reference because a state handler may release it meanwhile.
std::optional<ConnectFailure> connectRecordStream(PulseClient& client, pa_stream*& stream,
                                                  const std::string& source, pa_stream_flags_t flags,
                                                  const std::string& what);


// The server hands a burst (one block of a source that renders in blocks) over
// as several fragments, a read callback each. Reading waits until no fragment
// came for kSettleMicros, so that what is readable then is the whole burst and
// the raw stamp is right. Sources that send small fragments (virtual and
// network sources often ignore the requested fragment size) are left to
// gather in the server's buffer until the owner's worth is readable, or
// kMaxHoldMicros after the first: the tracks' eight-slot rings are sized for
// fragment-sized blocks, and 10 ms pieces would leave them a mere 80 ms of slack.
// A fragment's worth that is complete about one fragment's time after the
// last read is the steady stream, not a burst: it is read at once, which
// spares the loop a timer wake-up for every fragment.
inline constexpr pa_usec_t kSettleMicros = 4'000;
inline constexpr pa_usec_t kMaxHoldMicros = 90'000;
inline constexpr double kSteadyLeastPeriods = 0.5;
inline constexpr double kSteadyMostPeriods = 1.5;
// A track's writer frees a slot in well under this.
inline constexpr pa_usec_t kRetryMicros = 10'000;

class ReadPacer {
 public:
  // Loop thread: reads what is readable; `arrivalSeconds` is the host time of
  // the read callback that brought the newest fragment.
  using ReadFunction = void (*)(void* owner, double arrivalSeconds);

  // Loop lock held.
  void attach(pa_context* context, void* owner, ReadFunction read);
  void detach(pa_mainloop_api* api);

  // Loop thread: a fragment arrived; reads now, or schedules the read for when
  // the burst has settled or `wantFrames` have gathered. Allocates nothing.
  void arrived(pa_stream* stream, size_t frameBytes, uint32_t wantFrames, double rate);
  // Loop thread: the owner is reading everything now.
  void reading();
  // Loop thread: the owner left frames unread; it reads again in kRetryMicros.
  void retryLater();
  // Loop lock held: the owner reads another stream from now on, whose newest
  // fragment arrived at `arrivalSeconds` (host time; 0: none yet).
  void restart(double arrivalSeconds);
  double lastArrival() const { return lastArrivalSeconds_; }

 private:
  bool onCadence(pa_usec_t now, uint32_t wantFrames, double rate) const;
  static void onTimer(pa_mainloop_api* api, pa_time_event* event, const timeval* when, void* self);

  pa_context* context_ = nullptr;
  pa_time_event* timer_ = nullptr;
  void* owner_ = nullptr;
  ReadFunction read_ = nullptr;
  pa_usec_t firstPendingArrival_ = 0;  // rtclock µs; 0 when nothing waits
  pa_usec_t lastRead_ = 0;             // rtclock µs; 0 before the first read
  double lastArrivalSeconds_ = 0;
};

// Loop thread: peeks and drops what is readable while mayRead(frames still
// readable) allows; returns false when it stopped early. Audio goes to
// onData(data, frames, rawStart), where rawStart is the raw host stamp of the
// fragment's first frame (arrival minus what was still buffered after it);
// frames the server lost go to onHole(frames).
template <class MayRead, class OnData, class OnHole>
bool readFragments(pa_stream* stream, size_t frameBytes, double rate, double arrivalSeconds, MayRead&& mayRead,
                   OnData&& onData, OnHole&& onHole) {
  size_t remaining = pa_stream_readable_size(stream);
  if (remaining == static_cast<size_t>(-1)) return true;
  while (remaining > 0) {
    if (!mayRead(remaining / frameBytes)) return false;
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    const size_t frames = bytes / frameBytes;
    if (data) {
      const double rawStart = arrivalSeconds - static_cast<double>(remaining / frameBytes) / rate;
      onData(static_cast<const uint8_t*>(data), frames, rawStart);
    } else {
      onHole(frames);
    }
    pa_stream_drop(stream);
    remaining -= std::min(bytes, remaining);
  }
  return true;
}

// Loop lock held: disconnects and frees the stream, its callbacks silenced
// first (our own tear-down is no configuration change and no loss).
void releaseRecordStream(pa_stream*& stream);

}  // namespace orvane
