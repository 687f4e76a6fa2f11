// PulseAudioEngine: source choice, record stream set-up and tear-down, the
// read callback that feeds the tap, and the events that count as a
// configuration change.
#include "platform/pulse/pulse_audio_engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>
#include <utility>

#include "events/output.h"
#include "platform/runtime/host_clock.h"

namespace orvane {

namespace {

constexpr const char* kErrorDomain = "pulse";
enum ErrorCode : int64_t { kServerUnreachable = 1, kNoSource = 2, kStreamFailed = 3, kNoEchoCanceller = 4 };

bool isEchoCanceller(const PulseSourceInfo& source) {
  return !source.isMonitor && (source.driver.find("echo-cancel") != std::string::npos ||
                               source.nodeGroup.rfind("echo-cancel", 0) == 0 ||
                               source.name.find("echo-cancel") != std::string::npos);
}

// One table for the sample formats a PcmBuffer holds as they are.
struct FormatEntry {
  pa_sample_format_t pulse;
  SampleType type;
};
constexpr FormatEntry kHeldFormats[] = {
    {PA_SAMPLE_FLOAT32NE, SampleType::float32},
    {PA_SAMPLE_S16NE, SampleType::int16},
    {PA_SAMPLE_S32NE, SampleType::int32},
    {PA_SAMPLE_U8, SampleType::uint8},
};

const FormatEntry* heldFormat(pa_sample_format_t format) {
  for (const auto& entry : kHeldFormats) {
    if (entry.pulse == format) return &entry;
  }
  return nullptr;
}

// A short-lived connection: does a server answer and offer a microphone?
bool serverHasMicrophone(bool voiceProcessing) {
  PulseClient client;
  if (client.connect(kPulseConnectTimeoutSeconds) != PulseClient::Outcome::connected) return false;
  const auto server = client.serverInfo();
  const auto sources = client.sources();
  return server && sources && chooseMicrophone(*sources, server->defaultSourceName, voiceProcessing);
}

}  // namespace

pa_sample_spec pulseStreamSpec(const pa_sample_spec& native) {
  pa_sample_spec spec = native;
  if (!heldFormat(spec.format)) spec.format = PA_SAMPLE_FLOAT32NE;
  return spec;
}

AudioFormat audioFormatForSpec(const pa_sample_spec& spec) {
  const FormatEntry* entry = heldFormat(spec.format);
  return AudioFormat{static_cast<double>(spec.rate), spec.channels,
                     entry ? entry->type : SampleType::float32, true};
}

const PulseSourceInfo* chooseMicrophone(const std::vector<PulseSourceInfo>& sources,
                                        const std::string& defaultSourceName, bool voiceProcessing,
                                        const std::string& userSource, const char** why) {
  const auto pick = [&](const char* reason, auto&& wanted) -> const PulseSourceInfo* {
    const auto found = std::find_if(sources.begin(), sources.end(), wanted);
    if (found == sources.end()) return nullptr;
    if (why) *why = reason;
    return &*found;
  };
  if (voiceProcessing) return pick("the echo canceller", isEchoCanceller);
  const PulseSourceInfo* source = nullptr;
  if (!userSource.empty()) {
    source = pick("where the user moved it", [&](const auto& s) { return s.name == userSource && !s.isMonitor; });
  }
  if (!source) {
    source = pick("the default source", [&](const auto& s) { return s.name == defaultSourceName && !s.isMonitor; });
  }
  if (!source) source = pick("the default source is a monitor", [](const auto& s) { return !s.isMonitor; });
  return source;
}

PulseAudioEngine::PulseAudioEngine() = default;

PulseAudioEngine::~PulseAudioEngine() {
  stop();
  client_.reset();
}

Status PulseAudioEngine::ensureConnected() {
  if (client_ && !contextFailed_.load() && client_->isReady()) return std::nullopt;
  if (client_) {
    PulseClient::Lock lock(*client_);
    destroyStream();
  }
  client_.reset();  // a context that failed cannot be revived: a new one it is
  auto client = std::make_unique<PulseClient>();
  std::string reason;
  const auto outcome = client->connect(kPulseConnectTimeoutSeconds, &reason);
  if (outcome != PulseClient::Outcome::connected) {
    const char* what = outcome == PulseClient::Outcome::refused ? "the sound server refused the connection: "
                                                                 : "the sound server is not reachable: ";
    return Error{kErrorDomain, kServerUnreachable, what + reason};
  }
  client_ = std::move(client);
  contextFailed_ = false;
  client_->setFailureObserver([this] {
    contextFailed_ = true;
    running_ = false;
    fireConfigurationChange();
  });
  PulseClient::Lock lock(*client_);
  pa_context_set_subscribe_callback(client_->context(), &PulseAudioEngine::onSubscription, this);
  if (pa_operation* op = pa_context_subscribe(client_->context(), PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr)) {
    pa_operation_unref(op);
  }
  return std::nullopt;
}

AudioFormat PulseAudioEngine::inputFormat() {
  std::lock_guard control(control_);
  if (running_ && client_) {
    PulseClient::Lock lock(*client_);
    if (stream_) return format_;
  }
  if (ensureConnected()) return AudioFormat{};
  const auto server = client_->serverInfo();
  const auto sources = client_->sources();
  if (!server || !sources) return AudioFormat{};
  const PulseSourceInfo* source = chooseMicrophone(*sources, server->defaultSourceName, voiceProcessing_);
  return source ? audioFormatForSpec(pulseStreamSpec(source->sampleSpec)) : AudioFormat{};
}

Status PulseAudioEngine::setVoiceProcessingEnabled(bool enabled) {
  std::lock_guard control(control_);
  if (!enabled) {
    voiceProcessing_ = false;
    return std::nullopt;
  }
  if (auto error = ensureConnected()) {
    return Error{kErrorDomain, kNoEchoCanceller, error->description};
  }
  const auto sources = client_->sources();
  if (!sources) {
    return Error{kErrorDomain, kNoEchoCanceller, "the sound server did not list its sources"};
  }
  if (std::none_of(sources->begin(), sources->end(), isEchoCanceller)) {
    return Error{kErrorDomain, kNoEchoCanceller,
                 "the sound server has no echo-cancelling source (module-echo-cancel is not loaded)"};
  }
  voiceProcessing_ = true;
  return std::nullopt;
}

void PulseAudioEngine::installTap(uint32_t bufferSize, TapBlock tap) {
  std::lock_guard control(control_);
  std::optional<PulseClient::Lock> lock;
  if (client_) lock.emplace(*client_);
  tapFrames_ = std::clamp<uint32_t>(bufferSize * kPulseTapBurstFactor, 1, kPulseTapMaxFrames);
  tapRequestFrames_ = std::max<uint32_t>(1, tapFrames_ / kPulseTapBurstFactor);
  tap_ = std::move(tap);
}

void PulseAudioEngine::removeTap() {
  std::lock_guard control(control_);
  std::optional<PulseClient::Lock> lock;
  if (client_) lock.emplace(*client_);
  tap_ = nullptr;
}

void PulseAudioEngine::setConfigurationChangeHandler(ConfigurationChangeBlock handler) {
  std::lock_guard control(control_);
  std::optional<PulseClient::Lock> lock;
  if (client_) lock.emplace(*client_);
  configurationChange_ = std::move(handler);
}

void PulseAudioEngine::setRawStampObserver(RawStampObserver observer) {
  std::lock_guard control(control_);
  std::optional<PulseClient::Lock> lock;
  if (client_) lock.emplace(*client_);
  rawStampObserver_ = std::move(observer);
}

void PulseAudioEngine::prepare() {
  std::lock_guard control(control_);
  (void)ensureConnected();
}

Status PulseAudioEngine::start() {
  std::lock_guard control(control_);
  std::string recorded;
  Status status = startStream(recorded);
  // Said once the loop lock is released: the capture thread never waits on our output.
  if (!status) diag("mic records " + recorded);
  return status;
}

Status PulseAudioEngine::startStream(std::string& recorded) {
  if (auto error = ensureConnected()) {
    if (wanted_) watchForServer();
    return error;
  }
  endServerWatch();
  const auto server = client_->serverInfo();
  const auto sources = client_->sources();
  if (!server || !sources) {
    return Error{kErrorDomain, kServerUnreachable, "the sound server did not list its sources"};
  }
  PulseClient::Lock lock(*client_);
  const char* why = "";
  const PulseSourceInfo* source =
      chooseMicrophone(*sources, server->defaultSourceName, voiceProcessing_, userSource_, &why);
  if (!source) return Error{kErrorDomain, kNoSource, kNoMicrophoneMessage};
  if (source->name != userSource_) userSource_.clear();  // gone: the default again
  const pa_sample_spec spec = pulseStreamSpec(source->sampleSpec);
  const AudioFormat format = audioFormatForSpec(spec);

  destroyStream();
  running_ = false;
  if (!buffer_ || buffer_->format() != format) buffer_ = PcmBuffer::create(format, kPulseTapMaxFrames);
  pendingFrames_ = 0;
  if (!buffer_) return Error{kErrorDomain, kStreamFailed, "cannot allocate the capture buffer"};

  stream_ = newRecordStream(client_->context(), kMicStreamName, spec, &source->channelMap,
                            {this, &PulseAudioEngine::onStreamState, &PulseAudioEngine::onRead,
                             &PulseAudioEngine::onMoved, &PulseAudioEngine::onSuspended});
  if (!stream_) return Error{kErrorDomain, kStreamFailed, "cannot create the record stream: " + client_->lastError()};
  pacer_.attach(client_->context(), this, &PulseAudioEngine::readAvailable);
  spec_ = spec;
  format_ = format;
  frameBytes_ = pa_frame_size(&spec);
  framesRead_ = 0;
  model_ = TimestampModel(spec.rate);
  holdDelivery_ = false;
  sourceName_ = source->name;
  defaultSource_ = server->defaultSourceName;
  if (auto failure = connectRecordStream(*client_, stream_, source->name, PA_STREAM_NOFLAGS, "the record stream")) {
    destroyStream();
    return Error{kErrorDomain, kStreamFailed, *failure};
  }
  running_ = true;
  wanted_ = true;
  recorded = source->name + " (" + why + ")";
  return std::nullopt;
}

void PulseAudioEngine::stop() {
  std::lock_guard control(control_);
  wanted_ = false;
  endServerWatch();
  if (!client_) return;
  PulseClient::Lock lock(*client_);
  destroyStream();
  running_ = false;
}

void PulseAudioEngine::destroyStream() {
  if (!stream_) return;
  pacer_.detach(pa_threaded_mainloop_get_api(client_->loop()));
  releaseRecordStream(stream_);
}

void PulseAudioEngine::watchForServer() {
  if (serverWatch_.joinable()) {
    if (!watchDone_) return;  // already watching
    serverWatch_.join();
  }
  {
    std::lock_guard lock(watchMutex_);
    watchQuit_ = false;
  }
  watchDone_ = false;
  // Copied now: the watch must not touch the engine, whose lock stop() holds while it waits for us.
  ConfigurationChangeBlock handler = configurationChange_;
  const bool voiceProcessing = voiceProcessing_;
  auto watch = [this, handler = std::move(handler), voiceProcessing] {
    const auto interval = std::chrono::duration<double>(kServerWatchIntervalSeconds);
    for (;;) {
      {
        std::unique_lock lock(watchMutex_);
        if (watchWake_.wait_for(lock, interval, [this] { return watchQuit_; })) break;
      }
      if (serverHasMicrophone(voiceProcessing)) {
        if (handler) handler();
        break;
      }
    }
    watchDone_ = true;
  };
  try {
    serverWatch_ = std::thread(std::move(watch));
  } catch (const std::system_error&) {
    watchDone_ = true;  // no thread to spare: a later change may still restart us
  }
}

void PulseAudioEngine::endServerWatch() {
  if (!serverWatch_.joinable()) return;
  {
    std::lock_guard lock(watchMutex_);
    watchQuit_ = true;
  }
  watchWake_.notify_all();
  serverWatch_.join();
}

void PulseAudioEngine::fireConfigurationChange() {
  if (configurationChange_) configurationChange_();
}

// --- loop thread

// Real-time path from here to the tap: no allocation, no lock but the loop's
// own (held by libpulse around every callback), no I/O.
void PulseAudioEngine::onRead(pa_stream*, size_t, void* self) {
  auto* engine = static_cast<PulseAudioEngine*>(self);
  engine->pacer_.arrived(engine->stream_, engine->frameBytes_, engine->tapRequestFrames_);
}

void PulseAudioEngine::readAvailable(void* self, double arrivalSeconds) {
  auto* engine = static_cast<PulseAudioEngine*>(self);
  engine->pacer_.reading();
  if (!engine->stream_) return;
  readFragments(
      engine->stream_, engine->frameBytes_, engine->spec_.rate, arrivalSeconds,
      [engine](const uint8_t* data, size_t frames, double rawStart) {
        if (engine->holdDelivery_) engine->framesRead_ += static_cast<int64_t>(frames);
        else engine->deliver(data, frames, rawStart);
      },
      [engine](size_t frames) {
        // Frames the server lost: time goes on without them. The frame index
        // carries the hole, so the model's stamps jump by it and its fit stays.
        engine->flushPending();
        engine->framesRead_ += static_cast<int64_t>(frames);
      });
  engine->flushPending();
  engine->timestampRestarts_.store(engine->model_.restartCount(), std::memory_order_relaxed);
}

// Fragments are gathered into the tap buffer: a source that sends tiny
// fragments must not turn into tiny tap calls, each of which would take one of
// the writer's eight slots.
void PulseAudioEngine::deliver(const uint8_t* data, size_t frames, double rawStart) {
  const uint32_t capacity = std::min<uint32_t>(tapFrames_, buffer_->frameCapacity());
  for (size_t offset = 0; offset < frames;) {
    if (pendingFrames_ == 0) {
      pendingIndex_ = framesRead_;
      pendingRawStart_ = rawStart + static_cast<double>(offset) / spec_.rate;
    }
    const auto count = static_cast<uint32_t>(std::min<size_t>(frames - offset, capacity - pendingFrames_));
    std::memcpy(buffer_->plane(0) + static_cast<size_t>(pendingFrames_) * frameBytes_,
                data + offset * frameBytes_, count * frameBytes_);
    pendingFrames_ += count;
    framesRead_ += count;
    offset += count;
    if (pendingFrames_ == capacity) flushPending();
  }
}

void PulseAudioEngine::flushPending() {
  if (pendingFrames_ == 0) return;
  const double published = model_.publish(pendingIndex_, pendingRawStart_);
  if (rawStampObserver_) rawStampObserver_(pendingIndex_, pendingRawStart_, published);
  if (tap_) {
    buffer_->setFrameLength(pendingFrames_);
    tap_(*buffer_, AudioTime{HostClock::hostTimeForSeconds(published), true});
  }
  pendingFrames_ = 0;
}

void PulseAudioEngine::onStreamState(pa_stream* stream, void* self) {
  auto* engine = static_cast<PulseAudioEngine*>(self);
  engine->client_->signal();
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
  const bool wasRunning = engine->running_.exchange(false);
  // A dead context reports itself through the failure observer.
  if (wasRunning && PA_CONTEXT_IS_GOOD(pa_context_get_state(engine->client_->context()))) {
    engine->fireConfigurationChange();
  }
}

void PulseAudioEngine::onMoved(pa_stream*, void* self) {
  auto* engine = static_cast<PulseAudioEngine*>(self);
  // The server may have "rescued" us onto a monitor: deliver nothing until we know.
  engine->holdDelivery_ = true;
  engine->model_.reset();
  engine->checkMove();
}

// Asks which source is the default, whether the source we left is still
// there, then where we are now; the answers come in that order, and the last
// one reports the change. The server moves a stream off a source that went
// away, and onto a new default: any other move is the user's.
void PulseAudioEngine::checkMove() {
  movedOffLiveSource_ = false;
  pa_operation* server = pa_context_get_server_info(
      client_->context(),
      [](pa_context*, const pa_server_info* info, void* self) {
        auto* engine = static_cast<PulseAudioEngine*>(self);
        if (info && info->default_source_name) engine->defaultSource_ = info->default_source_name;
      },
      this);
  if (server) pa_operation_unref(server);
  pa_operation* left = pa_context_get_source_info_by_name(
      client_->context(), sourceName_.c_str(),
      [](pa_context*, const pa_source_info* info, int eol, void* self) {
        if (eol == 0 && info) static_cast<PulseAudioEngine*>(self)->movedOffLiveSource_ = true;
      },
      this);
  if (left) pa_operation_unref(left);
  pa_operation* now = pa_context_get_source_info_by_index(
      client_->context(), pa_stream_get_device_index(stream_),
      [](pa_context*, const pa_source_info* info, int eol, void* self) {
        auto* engine = static_cast<PulseAudioEngine*>(self);
        if (eol > 0 || !engine->stream_) return;
        if (info && info->index != pa_stream_get_device_index(engine->stream_)) return;  // moved again since
        if (info) {
          const std::string name = info->name ? info->name : "";
          engine->holdDelivery_ = info->monitor_of_sink != PA_INVALID_INDEX;
          // Back onto the source we asked for is our own doing (keepOnSource).
          const bool users = !engine->holdDelivery_ && engine->movedOffLiveSource_ && name != engine->sourceName_ &&
                             name != engine->defaultSource_;
          engine->sourceName_ = name;
          if (users) engine->userSource_ = name;
        }
        engine->fireConfigurationChange();
      },
      this);
  if (now) pa_operation_unref(now);
  else fireConfigurationChange();
}

void PulseAudioEngine::onSuspended(pa_stream* stream, void* self) {
  auto* engine = static_cast<PulseAudioEngine*>(self);
  engine->model_.reset();
  if (pa_stream_is_suspended(stream) == 1) engine->fireConfigurationChange();
}

void PulseAudioEngine::onSubscription(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self) {
  auto* engine = static_cast<PulseAudioEngine*>(self);
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) engine->checkDefaultSource();
}

void PulseAudioEngine::checkDefaultSource() {
  pa_operation* op = pa_context_get_server_info(
      client_->context(),
      [](pa_context*, const pa_server_info* info, void* self) {
        auto* engine = static_cast<PulseAudioEngine*>(self);
        if (!info || !engine->running_) return;
        const std::string current = info->default_source_name ? info->default_source_name : "";
        if (current == engine->defaultSource_) return;
        engine->defaultSource_ = current;
        if (engine->userSource_.empty()) engine->fireConfigurationChange();
      },
      this);
  if (op) pa_operation_unref(op);
}

}  // namespace orvane
