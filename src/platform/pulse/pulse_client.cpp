// PulseClient: loop and context lifetime, bounded waits, and the server,
// source and sink queries.
#include "platform/pulse/pulse_client.h"

#include <cmath>
#include <utility>

#include "events/output.h"
#include "platform/identity.h"
#include "platform/runtime/host_clock.h"

namespace orvane {

namespace {

std::string text(const char* value) { return value ? value : ""; }

PulseSourceInfo sourceInfo(const pa_source_info& info) {
  PulseSourceInfo item;
  item.index = info.index;
  item.name = text(info.name);
  item.description = text(info.description);
  item.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
  item.sampleSpec = info.sample_spec;
  item.channelMap = info.channel_map;
  return item;
}

PulseSinkInfo sinkInfo(const pa_sink_info& info) {
  PulseSinkInfo item;
  item.index = info.index;
  item.name = text(info.name);
  item.description = text(info.description);
  item.monitorSourceName = text(info.monitor_source_name);
  return item;
}

}  // namespace

pa_proplist* makePulseProplist(const char* mediaName) {
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kPulseApplicationName);
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, kBundleIdentifier);
  if (mediaName) pa_proplist_sets(props, PA_PROP_MEDIA_NAME, mediaName);
  return props;
}

PulseClient::PulseClient() : loop_(pa_threaded_mainloop_new()) {}

PulseClient::~PulseClient() {
  if (!loop_) return;
  if (loopRunning_) {
    pa_threaded_mainloop_lock(loop_);
    if (reconnectTimer_) pa_threaded_mainloop_get_api(loop_)->time_free(reconnectTimer_);
    releaseContext();
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
  }
  releaseContext();
  pa_threaded_mainloop_free(loop_);
}

void PulseClient::releaseContext() {
  if (!context_) return;
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
}

// A failed context cannot be revived: a new one it is, on the same loop.
bool PulseClient::renewContext() {
  releaseContext();
  wasReady_ = false;
  pa_proplist* props = makePulseProplist(nullptr);
  context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), kPulseApplicationName, props);
  pa_proplist_free(props);
  if (!context_) return false;
  pa_context_set_state_callback(context_, &PulseClient::onContextState, this);
  pa_context_set_subscribe_callback(context_, &PulseClient::onSubscription, this);
  return pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
}

PulseClient::Outcome PulseClient::connect(double timeoutSeconds, std::string* reason) {
  if (!loop_) {
    if (reason) *reason = "cannot create the libpulse main loop";
    return Outcome::unreachable;
  }
  Lock lock(*this);
  // Both streams' control threads may get here first: the loop starts once.
  if (!loopRunning_) {
    if (pa_threaded_mainloop_start(loop_) < 0) {
      if (reason) *reason = "cannot start the libpulse main loop";
      return Outcome::unreachable;
    }
    loopRunning_ = true;
  }
  if (!context_ || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
    if (!renewContext()) {
      if (reason) *reason = context_ ? lastError() : "cannot create a libpulse context";
      return context_ && pa_context_errno(context_) == PA_ERR_ACCESS ? Outcome::refused : Outcome::unreachable;
    }
  }
  const bool settled = waitUntil(
      [this] {
        const pa_context_state_t state = pa_context_get_state(context_);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
      },
      timeoutSeconds);
  if (!settled) {
    if (reason) *reason = "no answer from the sound server";
    releaseContext();
    return Outcome::unreachable;
  }
  if (pa_context_get_state(context_) == PA_CONTEXT_READY) {
    if (lostAt_ > 0) {
      const double away = std::round((HostClock::nowSeconds() - lostAt_) * 10) / 10;
      diag("reconnected to the sound server " + shortestDecimal(away) + " s after it was lost");
      lostAt_ = 0;
    }
    return Outcome::connected;
  }
  if (reason) *reason = lastError();
  // Only an answer that turns us away is a refusal; anything else means nobody answered.
  return pa_context_errno(context_) == PA_ERR_ACCESS ? Outcome::refused : Outcome::unreachable;
}

bool PulseClient::isReady() {
  Lock lock(*this);
  return loopRunning_ && context_ && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

void PulseClient::onContextState(pa_context* context, void* self) {
  auto* client = static_cast<PulseClient*>(self);
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) {
    client->wasReady_ = true;
    client->subscribe();
    if (client->lostAt_ > 0) {
      for (const Observer& observer : client->observers_) observer.back(observer.owner);
    }
  }
  if (!PA_CONTEXT_IS_GOOD(state)) {
    if (std::exchange(client->wasReady_, false)) {
      client->lostAt_ = HostClock::nowSeconds();
      for (const Observer& observer : client->observers_) observer.lost(observer.owner);
    }
    if (client->lostAt_ > 0) client->armReconnect();  // knocks again until a server answers
  }
  client->signal();
}

void PulseClient::subscribe() {
  auto mask = PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK;
  if (watchSinkInputs_) mask |= PA_SUBSCRIPTION_MASK_SINK_INPUT;
  if (pa_operation* op = pa_context_subscribe(context_, static_cast<pa_subscription_mask_t>(mask), nullptr, nullptr)) {
    pa_operation_unref(op);
  }
}

void PulseClient::watchSinkInputs() {
  Lock lock(*this);
  if (std::exchange(watchSinkInputs_, true)) return;
  if (loopRunning_ && context_ && pa_context_get_state(context_) == PA_CONTEXT_READY) subscribe();
}

// A new default, or a new source or sink (what a stream that found no
// device waits for); playback streams go to those who watch them.
void PulseClient::onSubscription(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* self) {
  auto* client = static_cast<PulseClient*>(self);
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
    for (const Observer& observer : client->observers_) {
      if (observer.sinkInput) observer.sinkInput(observer.owner, type, index);
    }
    return;
  }
  const bool server = (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER;
  if (!server && (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_NEW) return;
  for (const Observer& observer : client->observers_) observer.serverChanged(observer.owner);
}

void PulseClient::armReconnect() {
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  timeval when{};
  pa_gettimeofday(&when);
  pa_timeval_add(&when, static_cast<pa_usec_t>(kPulseReconnectIntervalSeconds * 1e6));
  if (reconnectTimer_) api->time_restart(reconnectTimer_, &when);
  else reconnectTimer_ = api->time_new(api, &when, &PulseClient::onReconnectTimer, this);
}

// Loop thread: while the server is away, a new context knocks every interval.
void PulseClient::onReconnectTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
  auto* client = static_cast<PulseClient*>(self);
  if (client->context_ && PA_CONTEXT_IS_GOOD(pa_context_get_state(client->context_))) return;
  client->renewContext();
  client->armReconnect();
}

void PulseClient::addObserver(const Observer& observer) {
  Lock lock(*this);
  observers_.push_back(observer);
}

void PulseClient::removeObserver(void* owner) {
  Lock lock(*this);
  std::erase_if(observers_, [owner](const Observer& observer) { return observer.owner == owner; });
}

PulseClient::Lock::Lock(PulseClient& client)
    : loop_(client.loop_), locked_(loop_ && !pa_threaded_mainloop_in_thread(loop_)) {
  if (locked_) pa_threaded_mainloop_lock(loop_);
}

PulseClient::Lock::~Lock() {
  if (locked_) pa_threaded_mainloop_unlock(loop_);
}

void PulseClient::signal() { pa_threaded_mainloop_signal(loop_, 0); }

bool PulseClient::waitUntil(const std::function<bool()>& done, double timeoutSeconds) {
  if (done()) return true;
  // A timer on the loop itself wakes us at the deadline, so the wait is bounded
  // even when the server never answers.
  struct Deadline {
    PulseClient* client;
    bool passed = false;
  } deadline{this, false};
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  timeval when{};
  pa_gettimeofday(&when);
  pa_timeval_add(&when, static_cast<pa_usec_t>(timeoutSeconds * 1e6));
  pa_time_event* timer = api->time_new(
      api, &when,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
        auto* d = static_cast<Deadline*>(data);
        d->passed = true;
        d->client->signal();
      },
      &deadline);
  while (!done() && !deadline.passed) pa_threaded_mainloop_wait(loop_);
  api->time_free(timer);
  return done();
}

bool PulseClient::waitForOperation(pa_operation* operation, const bool& done, double timeoutSeconds) {
  if (!operation) return false;
  const bool finished = waitUntil(
      [&] { return done || pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, timeoutSeconds);
  if (!done) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return finished && done;
}

std::optional<PulseServerInfo> PulseClient::serverInfo(double timeoutSeconds) {
  if (!isReady()) return std::nullopt;
  struct Query {
    PulseClient* client;
    PulseServerInfo info;
    bool done = false;
  } query{this, {}, false};
  Lock lock(*this);
  pa_operation* op = pa_context_get_server_info(
      context_,
      [](pa_context*, const pa_server_info* info, void* data) {
        auto* q = static_cast<Query*>(data);
        if (info) {
          q->info.defaultSourceName = text(info->default_source_name);
          q->info.defaultSinkName = text(info->default_sink_name);
          q->info.serverName = text(info->server_name);
          q->info.defaultRate = info->sample_spec.rate;
        }
        q->done = true;
        q->client->signal();
      },
      &query);
  if (!waitForOperation(op, query.done, timeoutSeconds)) return std::nullopt;
  return query.info;
}

// One introspection list, each item converted on the loop thread.
template <class Item, class Info>
std::optional<std::vector<Item>> PulseClient::list(ListStart<Info> start, Item (*convert)(const Info&),
                                                   double timeoutSeconds) {
  if (!isReady()) return std::nullopt;
  struct Query {
    PulseClient* client;
    Item (*convert)(const Info&);
    std::vector<Item> items;
    bool done = false;
    bool failed = false;
  } query{this, convert, {}};
  Lock lock(*this);
  pa_operation* op = start(
      context_,
      [](pa_context*, const Info* info, int eol, void* data) {
        auto* q = static_cast<Query*>(data);
        if (eol != 0) {
          q->failed = eol < 0;
          q->done = true;
          q->client->signal();
          return;
        }
        q->items.push_back(q->convert(*info));
      },
      &query);
  if (!waitForOperation(op, query.done, timeoutSeconds) || query.failed) return std::nullopt;
  return std::move(query.items);
}

std::optional<std::vector<PulseSourceInfo>> PulseClient::sources(double timeoutSeconds) {
  return list(&pa_context_get_source_info_list, &sourceInfo, timeoutSeconds);
}

std::optional<std::vector<PulseSinkInfo>> PulseClient::sinks(double timeoutSeconds) {
  return list(&pa_context_get_sink_info_list, &sinkInfo, timeoutSeconds);
}

std::optional<std::vector<PulseSinkInputInfo>> PulseClient::sinkInputs(double timeoutSeconds) {
  return list(&pa_context_get_sink_input_info_list, &sinkInputInfo, timeoutSeconds);
}

PulseSinkInputInfo sinkInputInfo(const pa_sink_input_info& info) {
  PulseSinkInputInfo item;
  item.index = info.index;
  item.sink = info.sink;
  item.applicationName = text(pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_NAME));
  item.processBinary = text(pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_BINARY));
  return item;
}

std::string PulseClient::lastError() {
  return context_ ? pa_strerror(pa_context_errno(context_)) : "no connection to the sound server";
}

}  // namespace orvane
