// PulseScreenCapture and PulseSystemAudioStream: the sink list, the monitor
// record stream with its time stamps and chunking, and the watcher that keeps
// the stream on the default sink's monitor or reports why it cannot.
#include "platform/pulse/pulse_screen_capture.h"

#include <algorithm>
#include <utility>

#include "events/output.h"
#include "platform/runtime/host_clock.h"
#include "platform/pulse/pulse_permissions.h"
#include "platform/runtime/serial_queue.h"

namespace orvane {

namespace {

constexpr const char* kErrorDomain = "pulse";
enum ErrorCode : int64_t { kServerUnreachable = 1, kNoSink = 6, kStreamFailed = 7, kStreamLost = 8 };

const PulseSinkInfo* findSink(const std::vector<PulseSinkInfo>& sinks, const std::string& name) {
  for (const auto& sink : sinks) {
    if (sink.name == name) return &sink;
  }
  return nullptr;
}

bool hasMonitor(const PulseSinkInfo* sink) { return sink && !sink->monitorSourceName.empty(); }

// The requested format, or the usual one when the request is out of range.
pa_sample_spec specFor(const StreamConfiguration& configuration) {
  pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, 48000, 2};
  if (configuration.sampleRate > 0 && static_cast<uint32_t>(configuration.sampleRate) <= PA_RATE_MAX) {
    spec.rate = static_cast<uint32_t>(configuration.sampleRate);
  }
  if (configuration.channelCount > 0 && static_cast<unsigned>(configuration.channelCount) <= PA_CHANNELS_MAX) {
    spec.channels = static_cast<uint8_t>(configuration.channelCount);
  }
  return spec;
}

}  // namespace

std::vector<Display> displaysForSinks(const std::vector<PulseSinkInfo>& sinks, const std::string& defaultSinkName) {
  std::vector<Display> displays;
  for (const auto& sink : sinks) {
    if (!hasMonitor(&sink)) continue;
    Display display{sink.name, sink.description.empty() ? sink.name : sink.description};
    if (sink.name == defaultSinkName) {
      displays.insert(displays.begin(), std::move(display));
    } else {
      displays.push_back(std::move(display));
    }
  }
  return displays;
}

const PulseSinkInfo* sinkToCapture(const std::vector<PulseSinkInfo>& sinks, const std::string& defaultSinkName,
                                   const std::string& preferred) {
  if (const PulseSinkInfo* sink = findSink(sinks, defaultSinkName); hasMonitor(sink)) return sink;
  if (const PulseSinkInfo* sink = findSink(sinks, preferred); hasMonitor(sink)) return sink;
  return nullptr;
}

StreamLoss judgeStreamLoss(const std::vector<PulseSinkInfo>& sinks, const std::string& defaultSinkName,
                           const std::string& ourSink) {
  if (findSink(sinks, ourSink)) return StreamLoss::killed;
  return hasMonitor(findSink(sinks, defaultSinkName)) ? StreamLoss::follow : StreamLoss::nothingToFollow;
}

// --- PulseScreenCapture

bool PulseScreenCapture::preflightAccess() { return probeSinkWithMonitor(); }

bool PulseScreenCapture::requestAccess() { return probeSinkWithMonitor(); }

Result<std::vector<Display>> PulseScreenCapture::shareableDisplays() {
  PulseClient client;
  std::string reason;
  if (client.connect(kPulseConnectTimeoutSeconds, &reason) != PulseClient::Outcome::connected) {
    return Error{kErrorDomain, kServerUnreachable, "the sound server is not reachable: " + reason};
  }
  const auto server = client.serverInfo();
  const auto sinks = client.sinks();
  if (!server || !sinks) return Error{kErrorDomain, kServerUnreachable, "the sound server did not list its sinks"};
  return displaysForSinks(*sinks, server->defaultSinkName);
}

std::unique_ptr<SystemAudioStream> PulseScreenCapture::makeStream(const Display& display,
                                                                  const StreamConfiguration& configuration,
                                                                  StreamDelegate& delegate) {
  return std::make_unique<PulseSystemAudioStream>(display.id, configuration, delegate);
}

// --- PulseSystemAudioStream: control

PulseSystemAudioStream::PulseSystemAudioStream(std::string preferredSink, const StreamConfiguration& configuration,
                                               StreamDelegate& delegate)
    : preferredSink_(std::move(preferredSink)),
      spec_(specFor(configuration)),
      frameBytes_(pa_frame_size(&spec_)),
      delegate_(delegate),
      ring_(std::make_shared<SampleBufferRing>(
          AudioFormat{static_cast<double>(spec_.rate), spec_.channels, SampleType::float32, true},
          kSystemChunkFrames, kSystemRingSlots)),
      model_(spec_.rate) {}

PulseSystemAudioStream::~PulseSystemAudioStream() {
  stopCapture(nullptr);
  if (watcher_.joinable()) watcher_.detach();  // only when destroyed from the watcher itself
  client_.reset();
}

Status PulseSystemAudioStream::addOutput(StreamOutputType type, SerialQueue& queue) {
  if (type != StreamOutputType::audio) return std::nullopt;
  std::lock_guard control(control_);
  std::optional<PulseClient::Lock> lock;
  if (client_) lock.emplace(*client_);
  audioQueue_ = &queue;
  return std::nullopt;
}

void PulseSystemAudioStream::startCapture(Completion completion) {
  Status result;
  {
    std::lock_guard control(control_);
    if (!stopped_ && !started_) {
      auto client = std::make_unique<PulseClient>();
      std::string reason;
      if (client->connect(kPulseConnectTimeoutSeconds, &reason) != PulseClient::Outcome::connected) {
        result = Error{kErrorDomain, kServerUnreachable, "the sound server is not reachable: " + reason};
      } else {
        client_ = std::move(client);
        client_->setFailureObserver([this] { post(kServerGone); });
        {
          PulseClient::Lock lock(*client_);
          pa_context_set_subscribe_callback(client_->context(), &PulseSystemAudioStream::onSubscription, this);
          if (pa_operation* op =
                  pa_context_subscribe(client_->context(), PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr)) {
            pa_operation_unref(op);
          }
        }
        result = openOnDefaultSink();
        if (!result) {
          started_ = true;
          watcher_ = std::thread(&PulseSystemAudioStream::watch, this);
        }
      }
    }
  }
  if (completion) completion(result);
}

void PulseSystemAudioStream::stopCapture(Completion completion) {
  {
    std::lock_guard control(control_);
    stopped_ = true;
    if (client_) {
      PulseClient::Lock lock(*client_);
      flushChunk();
      destroyStream();
    }
  }
  // Counted on the loop thread, which may not report; said once, here.
  if (const int64_t dropped = droppedFrames_.exchange(0)) {
    diag("system audio: " + std::to_string(dropped) + " frames dropped while the audio queue was full");
  }
  {
    std::lock_guard events(eventsLock_);
    quit_ = true;
  }
  eventsChanged_.notify_all();
  // A stop reported by the watcher comes back here on the watcher itself.
  if (watcher_.joinable() && watcher_.get_id() != std::this_thread::get_id()) watcher_.join();
  if (completion) completion(std::nullopt);
}

Status PulseSystemAudioStream::openOnDefaultSink() {
  const auto server = client_->serverInfo();
  const auto sinks = client_->sinks();
  if (!server || !sinks) return Error{kErrorDomain, kServerUnreachable, "the sound server did not list its sinks"};
  const PulseSinkInfo* sink =
      sinkToCapture(*sinks, server->defaultSinkName, sinkName_.empty() ? preferredSink_ : sinkName_);
  if (!sink) return Error{kErrorDomain, kNoSink, "no output sink with a monitor on the sound server"};

  PulseClient::Lock lock(*client_);
  flushChunk();
  destroyStream();
  pa_channel_map map;
  const bool mapped = pa_channel_map_init_auto(&map, spec_.channels, PA_CHANNEL_MAP_DEFAULT) != nullptr;
  stream_ = newRecordStream(client_->context(), kSystemStreamName, spec_, mapped ? &map : nullptr,
                            {this, &PulseSystemAudioStream::onStreamState, &PulseSystemAudioStream::onRead,
                             &PulseSystemAudioStream::onMoved, &PulseSystemAudioStream::onSuspended});
  if (!stream_) {
    return Error{kErrorDomain, kStreamFailed, "cannot create the system audio stream: " + client_->lastError()};
  }
  pacer_.attach(client_->context(), this, &PulseSystemAudioStream::readAvailable);
  model_ = TimestampModel(spec_.rate);
  holdDelivery_ = false;
  // DONT_MOVE: a monitor stream that the server "rescues" onto some other
  // source would record the microphone as system audio.
  if (auto failure = connectRecordStream(*client_, stream_, sink->monitorSourceName, PA_STREAM_DONT_MOVE,
                                         "the system audio stream")) {
    destroyStream();
    return Error{kErrorDomain, kStreamFailed, *failure};
  }
  sinkName_ = sink->name;
  monitorName_ = sink->monitorSourceName;
  return std::nullopt;
}

void PulseSystemAudioStream::destroyStream() {
  if (!stream_) return;
  pacer_.detach(pa_threaded_mainloop_get_api(client_->loop()));
  releaseRecordStream(stream_);
}

// Hands the open chunk, full or not, to the audio queue. A chunk is contiguous
// audio, so anything that breaks continuity (a hole, a move, a new stream)
// ends it first. Never waits: a full queue drops the chunk.
void PulseSystemAudioStream::flushChunk() {
  const int slot = ring_->close();
  if (slot < 0) return;
  const uint32_t frames = ring_->buffer(slot).frameCount;
  const bool queued = audioQueue_ && audioQueue_->tryAsync([ring = ring_, slot, delegate = &delegate_] {
    delegate->streamDidOutputSampleBuffer(ring->buffer(slot), StreamOutputType::audio);
    ring->release(slot);
  });
  if (!queued) {
    ring_->release(slot);
    droppedFrames_.fetch_add(frames, std::memory_order_relaxed);
  }
}

// --- the watcher

void PulseSystemAudioStream::post(unsigned events) {
  {
    std::lock_guard lock(eventsLock_);
    events_ |= events;
  }
  eventsChanged_.notify_one();
}

void PulseSystemAudioStream::watch() {
  for (;;) {
    unsigned events;
    {
      std::unique_lock lock(eventsLock_);
      eventsChanged_.wait(lock, [this] { return quit_ || events_ != 0; });
      if (quit_) return;
      events = std::exchange(events_, 0u);
    }
    handle(events);
  }
}

void PulseSystemAudioStream::handle(unsigned events) {
  std::string stopMessage;
  {
    std::lock_guard control(control_);
    if (stopped_) return;
    const auto server = client_->isReady() ? client_->serverInfo() : std::nullopt;
    const auto sinks = server ? client_->sinks() : std::nullopt;
    if ((events & kServerGone) || !server || !sinks) {
      stopMessage = "the connection to the sound server was lost: " + client_->lastError();
    } else if (events & kStreamLost) {
      switch (judgeStreamLoss(*sinks, server->defaultSinkName, sinkName_)) {
        case StreamLoss::killed:
          stopMessage = "the sound server ended the system audio stream on " + monitorName_ + ": " +
                        pa_strerror(lostErrno_.load());
          break;
        case StreamLoss::nothingToFollow:
          stopMessage = "the output sink " + sinkName_ + " is gone and no other sink has a monitor";
          break;
        case StreamLoss::follow:
          if (Status error = openOnDefaultSink()) {
            stopMessage = error->description;
          } else {
            diag("system audio follows default sink " + sinkName_);
          }
          break;
      }
    } else if (events & kMoved) {
      const auto sources = client_->sources();
      PulseClient::Lock lock(*client_);
      const uint32_t index = stream_ ? pa_stream_get_device_index(stream_) : PA_INVALID_INDEX;
      const PulseSourceInfo* source = nullptr;
      if (sources) {
        for (const auto& item : *sources) {
          if (item.index == index) source = &item;
        }
      }
      if (source && source->isMonitor) {
        monitorName_ = source->name;
        model_.reset();
        holdDelivery_ = false;
      } else {
        stopMessage = "the system audio stream was moved off the output monitor" +
                      (source ? " onto " + source->name : std::string());
      }
    } else if ((events & kDefaultChanged) && server->defaultSinkName != sinkName_ &&
               hasMonitor(findSink(*sinks, server->defaultSinkName))) {
      if (Status error = openOnDefaultSink()) {
        stopMessage = error->description;
      } else {
        diag("system audio follows default sink " + sinkName_);
      }
    }
    if (!stopMessage.empty()) {
      stopped_ = true;
      PulseClient::Lock lock(*client_);
      flushChunk();
      destroyStream();
    }
  }
  // Outside every lock: the delegate stops the recording, which calls stopCapture.
  if (!stopMessage.empty()) delegate_.streamDidStopWithError(Error{kErrorDomain, kStreamLost, stopMessage});
}

// --- loop thread

// Real-time path from here to the ring: no allocation, no lock but the loop's
// own (held by libpulse around every callback), no I/O; the queue hand-off
// never waits.
void PulseSystemAudioStream::onRead(pa_stream*, size_t, void* self) {
  auto* owner = static_cast<PulseSystemAudioStream*>(self);
  owner->pacer_.arrived(owner->stream_, owner->frameBytes_, kSystemChunkFrames);
}

void PulseSystemAudioStream::readAvailable(void* self, double arrivalSeconds) {
  auto* owner = static_cast<PulseSystemAudioStream*>(self);
  owner->pacer_.reading();
  if (!owner->stream_) return;
  // A hole (frames the server lost) or audio from a source not yet known to
  // be a monitor: time goes on without them. The frame index carries them, so
  // the model's stamps jump by them and its fit stays.
  auto skip = [owner](size_t frames) {
    owner->flushChunk();
    owner->framesRead_ += static_cast<int64_t>(frames);
  };
  readFragments(
      owner->stream_, owner->frameBytes_, owner->spec_.rate, arrivalSeconds,
      [owner, &skip](const uint8_t* data, size_t frames, double rawStart) {
        if (owner->holdDelivery_) skip(frames);
        else owner->deliver(data, frames, rawStart);
      },
      skip);
}

void PulseSystemAudioStream::deliver(const uint8_t* data, size_t frames, double rawStart) {
  for (size_t offset = 0; offset < frames;) {
    if (!ring_->isOpen()) {
      const double raw = rawStart + static_cast<double>(offset) / spec_.rate;
      const double published = model_.publish(framesRead_ + static_cast<int64_t>(offset), raw);
      if (!ring_->open(published)) {
        droppedFrames_.fetch_add(static_cast<int64_t>(frames - offset), std::memory_order_relaxed);
        break;
      }
    }
    const auto count = static_cast<uint32_t>(std::min<size_t>(frames - offset, ring_->roomFrames()));
    ring_->write(data + offset * frameBytes_, count);
    offset += count;
    if (ring_->roomFrames() == 0) flushChunk();
  }
  framesRead_ += static_cast<int64_t>(frames);
}

void PulseSystemAudioStream::onStreamState(pa_stream* stream, void* self) {
  auto* owner = static_cast<PulseSystemAudioStream*>(self);
  owner->client_->signal();
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
  owner->lostErrno_.store(pa_context_errno(pa_stream_get_context(stream)));
  owner->flushChunk();
  owner->post(kStreamLost);
}

void PulseSystemAudioStream::onMoved(pa_stream*, void* self) {
  auto* owner = static_cast<PulseSystemAudioStream*>(self);
  // The server may have "rescued" us onto a source that is not a monitor:
  // deliver nothing until the watcher knows.
  owner->flushChunk();
  owner->holdDelivery_ = true;
  owner->model_.reset();
  owner->post(kMoved);
}

void PulseSystemAudioStream::onSuspended(pa_stream*, void* self) {
  auto* owner = static_cast<PulseSystemAudioStream*>(self);
  owner->flushChunk();
  owner->model_.reset();
}

void PulseSystemAudioStream::onSubscription(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self) {
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) {
    static_cast<PulseSystemAudioStream*>(self)->post(kDefaultChanged);
  }
}

}  // namespace orvane
