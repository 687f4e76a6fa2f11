// Creating, pacing the reads of and releasing a libpulse record stream.
#include "platform/pulse/record_stream_reading.h"

#include "platform/runtime/host_clock.h"
#include "platform/pulse/pulse_client.h"

#include <utility>

namespace orvane {

pa_stream* newRecordStream(pa_context* context, const char* name, const pa_sample_spec& spec,
                           const pa_channel_map* map, const RecordStreamHandlers& handlers, const char* linkGroup) {
  pa_proplist* props = makePulseProplist(name);
  if (linkGroup) pa_proplist_sets(props, "node.link-group", linkGroup);
  pa_stream* stream = pa_stream_new_with_proplist(context, name, &spec, map, props);
  pa_proplist_free(props);
  if (stream) setRecordStreamHandlers(stream, handlers);
  return stream;
}

void setRecordStreamHandlers(pa_stream* stream, const RecordStreamHandlers& handlers) {
  pa_stream_set_state_callback(stream, handlers.state, handlers.owner);
  pa_stream_set_read_callback(stream, handlers.read, handlers.owner);
  pa_stream_set_moved_callback(stream, handlers.moved, handlers.owner);
  pa_stream_set_suspended_callback(stream, handlers.suspended, handlers.owner);
}

namespace {

// A session manager may link a new stream where a stream of that name went
// before, whatever source it asked for; it is moved back, or said to be elsewhere.
std::optional<ConnectFailure> keepOnSource(PulseClient& client, pa_stream*& stream, const std::string& source,
                                           const std::string& what) {
  const char* linked = pa_stream_get_device_name(stream);
  if (!linked || source == linked) return std::nullopt;
  const std::string elsewhere = linked;
  struct Answer {
    PulseClient* client;
    bool done = false, moved = false;
  } answer{&client};
  pa_operation* op = pa_context_move_source_output_by_name(
      client.context(), pa_stream_get_index(stream), source.c_str(),
      [](pa_context*, int success, void* data) {
        auto* a = static_cast<Answer*>(data);
        a->moved = success != 0;
        a->done = true;
        a->client->signal();
      },
      &answer);
  if (op) {
    client.waitUntil([&answer] { return answer.done; }, kPulseQueryTimeoutSeconds);
    if (!answer.done) pa_operation_cancel(op);
    pa_operation_unref(op);
  }
  // Moved back once the stream itself says so (its moved handler wakes us).
  const auto onSource = [&] {
    const char* now = stream ? pa_stream_get_device_name(stream) : nullptr;
    return now && source == now;
  };
  if (answer.moved && client.waitUntil(onSource, kPulseQueryTimeoutSeconds)) return std::nullopt;
  if (!stream) return ConnectFailure{what + " ended while it was moved back onto " + source};
  return ConnectFailure{
      what + " was linked to " + elsewhere + " instead of " + source + " and could not be moved back", true};
}

}  // namespace

std::optional<ConnectFailure> connectRecordStream(PulseClient& client, pa_stream*& stream,
                                                  const std::string& source, pa_stream_flags_t flags,
                                                  const std::string& what) {
  pa_buffer_attr attr;
  const size_t frameBytes = pa_frame_size(pa_stream_get_sample_spec(stream));
  attr.maxlength = static_cast<uint32_t>(kServerHoldSeconds * pa_stream_get_sample_spec(stream)->rate) *
                   static_cast<uint32_t>(frameBytes);
  attr.tlength = static_cast<uint32_t>(-1);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = kPulseFragmentFrames * static_cast<uint32_t>(frameBytes);
  flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_ADJUST_LATENCY);
  if (pa_stream_connect_record(stream, source.c_str(), &attr, flags) < 0) {
    return ConnectFailure{"cannot record from " + source + ": " + client.lastError()};
  }
  const bool settled = client.waitUntil(
      [&stream] { return !stream || pa_stream_get_state(stream) != PA_STREAM_CREATING; }, kPulseQueryTimeoutSeconds);
  if (!stream || !settled || pa_stream_get_state(stream) != PA_STREAM_READY) {
    return ConnectFailure{what + " on " + source + " did not start: " +
                          (settled ? client.lastError() : std::string("no answer from the sound server"))};
  }
  return keepOnSource(client, stream, source, what);
}

void ReadPacer::attach(pa_context* context, void* owner, ReadFunction read) {
  context_ = context;
  owner_ = owner;
  read_ = read;
  firstPendingArrival_ = 0;
  lastRead_ = 0;
  timer_ = pa_context_rttime_new(context, PA_USEC_INVALID, &ReadPacer::onTimer, this);
}

void ReadPacer::detach(pa_mainloop_api* api) {
  if (timer_) api->time_free(timer_);
  timer_ = nullptr;
  firstPendingArrival_ = 0;
}

void ReadPacer::arrived(pa_stream* stream, size_t frameBytes, uint32_t wantFrames, double rate) {
  const pa_usec_t now = pa_rtclock_now();
  lastArrivalSeconds_ = HostClock::nowSeconds();
  const size_t readable = pa_stream_readable_size(stream);
  const bool enough = readable != static_cast<size_t>(-1) && readable / frameBytes >= wantFrames;
  if (enough && onCadence(now, wantFrames, rate)) {
    read_(owner_, lastArrivalSeconds_);
    return;
  }
  if (firstPendingArrival_ == 0) firstPendingArrival_ = now;
  if (!timer_ || now - firstPendingArrival_ >= kMaxHoldMicros) {
    read_(owner_, lastArrivalSeconds_);
    return;
  }
  pa_context_rttime_restart(context_, timer_, enough ? now + kSettleMicros : firstPendingArrival_ + kMaxHoldMicros);
}

bool ReadPacer::onCadence(pa_usec_t now, uint32_t wantFrames, double rate) const {
  if (lastRead_ == 0 || rate <= 0) return false;
  const double periods = static_cast<double>(now - lastRead_) / (static_cast<double>(wantFrames) / rate * 1e6);
  return periods >= kSteadyLeastPeriods && periods <= kSteadyMostPeriods;
}

void ReadPacer::reading() {
  lastRead_ = pa_rtclock_now();
  if (std::exchange(firstPendingArrival_, 0) != 0 && timer_) {
    pa_context_rttime_restart(context_, timer_, PA_USEC_INVALID);
  }
}

void ReadPacer::retryLater() {
  const pa_usec_t now = pa_rtclock_now();
  firstPendingArrival_ = now;
  if (timer_) pa_context_rttime_restart(context_, timer_, now + kRetryMicros);
}

void ReadPacer::restart(double arrivalSeconds) {
  firstPendingArrival_ = 0;
  lastRead_ = 0;
  lastArrivalSeconds_ = arrivalSeconds;
  if (timer_) pa_context_rttime_restart(context_, timer_, PA_USEC_INVALID);
}

void ReadPacer::onTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
  auto* pacer = static_cast<ReadPacer*>(self);
  if (pacer->firstPendingArrival_ != 0) pacer->read_(pacer->owner_, pacer->lastArrivalSeconds_);
}

void releaseRecordStream(pa_stream*& stream) {
  if (!stream) return;
  setRecordStreamHandlers(stream, {});
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
  pa_stream_unref(stream);
  stream = nullptr;
}

}  // namespace orvane
