// PulseClient: one libpulse threaded main loop and one context connected to
// the sound server, with the waits and queries that every part of the
// sound-server backend needs. Every wait is bounded, so a server that does not
// answer turns into an error, never a hang. A context that fails after it was
// ready is replaced on the same loop as soon as a server answers again (a
// restarted server), and the record streams on it are told.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// How we appear in the server's client list and in mixers.
inline constexpr const char* kPulseApplicationName = "orvane-capture";

// A connection attempt gives up after this long.
inline constexpr double kPulseConnectTimeoutSeconds = 2.5;
// A query or stream set-up gives up after this long.
inline constexpr double kPulseQueryTimeoutSeconds = 3.0;
// While the server is away, how often a new context tries to reach it.
inline constexpr double kPulseReconnectIntervalSeconds = 0.5;

struct PulseSourceInfo {
  uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::string description;
  bool isMonitor = false;
  pa_sample_spec sampleSpec{};
  pa_channel_map channelMap{};
};

struct PulseSinkInfo {
  uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::string description;
  std::string monitorSourceName;
};

// A playback stream (a sink input): who plays it and on which sink.
struct PulseSinkInputInfo {
  uint32_t index = PA_INVALID_INDEX;
  uint32_t sink = PA_INVALID_INDEX;
  std::string applicationName;  // application.name
  std::string processBinary;    // application.process.binary
};

struct PulseServerInfo {
  std::string defaultSourceName;
  std::string defaultSinkName;
  std::string serverName;  // says which server runs (PipeWire's names itself in it)
  uint32_t defaultRate = 0;  // the default sample spec's rate: on PipeWire, the rate its graph runs at

  bool onPipeWire() const { return serverName.find("PipeWire") != std::string::npos; }
};

class PulseClient {
 public:
  enum class Outcome { connected, refused, unreachable };

  PulseClient();
  // Any thread but the loop's own: disconnects and joins the loop thread.
  ~PulseClient();
  PulseClient(const PulseClient&) = delete;
  PulseClient& operator=(const PulseClient&) = delete;

  // Any thread but the loop's: starts the loop and connects (never spawning a
  // server); connected at once when the context is ready, else a context that
  // failed is replaced. `refused`: the server answered and turned us away;
  // `unreachable`: no server answered in time. `reason` gets libpulse's words.
  Outcome connect(double timeoutSeconds, std::string* reason = nullptr);

  // What a record stream hears of the connection, on the loop thread: the
  // context failed (`lost`), a new one is ready after a loss (`back`), the
  // server's defaults may have changed or a device was added (`serverChanged`),
  // a playback stream came, changed or went (`sinkInput`, only once
  // watchSinkInputs() was called).
  struct Observer {
    void* owner;
    void (*lost)(void* owner);
    void (*back)(void* owner);
    void (*serverChanged)(void* owner);
    void (*sinkInput)(void* owner, pa_subscription_event_type_t type, uint32_t index) = nullptr;
  };
  // Any thread but the loop's; before the stream opens. Removed by owner.
  void addObserver(const Observer& observer);
  void removeObserver(void* owner);
  // Any thread but the loop's: from now on the server's playback streams are
  // watched too (nobody else hears of them).
  void watchSinkInputs();

  pa_threaded_mainloop* loop() { return loop_; }
  pa_context* context() { return context_; }
  // Any thread: the context is ready (connected and not failed since).
  bool isReady();

  // Locks the loop, unless the caller is the loop thread (which holds it
  // already). The lock is a mutex of its own before the loop thread runs.
  class Lock {
   public:
    explicit Lock(PulseClient& client);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
    bool locked_;
  };

  // With the lock held, off the loop thread: waits until `done` or the time
  // is up (loop callbacks wake the waiter with signal()); returns done().
  bool waitUntil(const std::function<bool()>& done, double timeoutSeconds);
  // Loop thread: wakes waitUntil.
  void signal();

  // Queries; any thread but the loop's, lock not held. Nothing when the
  // server does not answer in time.
  std::optional<PulseServerInfo> serverInfo(double timeoutSeconds = kPulseQueryTimeoutSeconds);
  std::optional<std::vector<PulseSourceInfo>> sources(double timeoutSeconds = kPulseQueryTimeoutSeconds);
  std::optional<std::vector<PulseSinkInfo>> sinks(double timeoutSeconds = kPulseQueryTimeoutSeconds);
  std::optional<std::vector<PulseSinkInputInfo>> sinkInputs(double timeoutSeconds = kPulseQueryTimeoutSeconds);

  // The last error of the context, in words.
  std::string lastError();

 private:
  static void onContextState(pa_context* context, void* self);
  static void onSubscription(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);
  static void onReconnectTimer(pa_mainloop_api* api, pa_time_event* event, const timeval* when, void* self);
  bool renewContext();  // lock held
  void releaseContext();  // lock held
  void armReconnect();  // lock held
  bool waitForOperation(pa_operation* operation, const bool& done, double timeoutSeconds);
  template <class Info>
  using ListStart = pa_operation* (*)(pa_context*, void (*)(pa_context*, const Info*, int, void*), void*);
  template <class Item, class Info>
  std::optional<std::vector<Item>> list(ListStart<Info> start, Item (*convert)(const Info&), double timeoutSeconds);
  void subscribe();  // lock held, context ready

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_time_event* reconnectTimer_ = nullptr;
  bool loopRunning_ = false;  // loop lock (held before the loop runs too)
  bool wasReady_ = false;     // the current context was ready once
  double lostAt_ = 0;         // host seconds the last ready context failed; 0: none since reported
  std::vector<Observer> observers_;  // loop lock
  bool watchSinkInputs_ = false;     // loop lock
};

// The fields we use of the server's description of a playback stream.
PulseSinkInputInfo sinkInputInfo(const pa_sink_input_info& info);

// The proplist every context and stream of ours carries; free with pa_proplist_free.
pa_proplist* makePulseProplist(const char* mediaName);

}  // namespace orvane
