// PulseRecordStream: device choice by role, stream set-up and tear-down, the
// handover from the stream on the old device to the new one, the read path
// that mixes and stamps blocks for the handler, the stop that reads the tail,
// and the events that count as a change.
#include "platform/pulse/pulse_record_stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

#include "events/output.h"
#include "platform/runtime/host_clock.h"

namespace orvane {

namespace {

constexpr const char* kErrorDomain = "pulse";
// The microphone's streams' link group (see open): no other node is of it,
// and the manager only keeps a group's nodes from being linked to each other.
constexpr const char* kMicrophoneLinkGroup = "orvane-capture.microphone";
enum ErrorCode : int64_t {
  kServerUnreachable = 1,
  kNoSource = 2,
  kStreamFailed = 3,
  kNoSink = 6,
  kLinkedElsewhere = 7,
};

const PulseSourceInfo* findSource(const std::vector<PulseSourceInfo>& sources, const std::string& name) {
  const auto found = std::find_if(sources.begin(), sources.end(), [&](const auto& s) { return s.name == name; });
  return found == sources.end() ? nullptr : &*found;
}

// Every channel weighs alike. Mono and stereo, the usual sources, have loops
// of their own, which the compiler vectorizes.
void mixToMono(const float* samples, uint32_t channels, uint32_t frames, float* mono) {
  if (channels == 1) {
    std::copy(samples, samples + frames, mono);
    return;
  }
  if (channels == 2) {
    for (uint32_t i = 0; i < frames; ++i) mono[i] = (samples[2 * i] + samples[2 * i + 1]) * 0.5f;
    return;
  }
  const float scale = 1.0f / static_cast<float>(channels);
  for (uint32_t i = 0; i < frames; ++i) {
    const float* frame = samples + static_cast<size_t>(i) * channels;
    float sum = 0;
    for (uint32_t c = 0; c < channels; ++c) sum += frame[c];
    mono[i] = sum * scale;
  }
}

std::string describe(const pa_sample_spec& spec) {
  return std::to_string(spec.channels) + " ch, " + std::to_string(spec.rate) + " Hz";
}

}  // namespace

PulseRecordStream::PulseRecordStream(std::shared_ptr<PulseClient> client, InputRole role)
    : client_(std::move(client)), role_(role) {
  client_->addObserver({this, &PulseRecordStream::onContextLost, &PulseRecordStream::onContextBack,
                        &PulseRecordStream::onServerChanged});
}

PulseRecordStream::~PulseRecordStream() {
  stop();
  client_->removeObserver(this);
}

const char* PulseRecordStream::what() const {
  return role_ == InputRole::microphone ? "the record stream" : "the system audio stream";
}

Result<PulseRecordStream::Device> PulseRecordStream::chooseDevice() {
  std::string reason;
  if (client_->connect(kPulseConnectTimeoutSeconds, &reason) != PulseClient::Outcome::connected) {
    return Error{kErrorDomain, kServerUnreachable, "the sound server is not reachable: " + reason};
  }
  const auto server = client_->serverInfo();
  const auto sources = client_->sources();
  auto sinks = role_ != InputRole::microphone ? client_->sinks() : std::make_optional(std::vector<PulseSinkInfo>{});
  if (!server || !sources || !sinks) {
    return Error{kErrorDomain, kServerUnreachable, "the sound server did not list its devices"};
  }
  // The loop thread notes where the user moved us, and hands over to a new sink.
  std::string userSource, recorded;
  {
    PulseClient::Lock lock(*client_);
    userSource = userSource_;
    recorded = sinkName_;
  }
  Device device;
  const PulseSourceInfo* source = nullptr;
  if (role_ == InputRole::microphone) {
    const char* why = "";
    source = chooseMicrophone(*sources, server->defaultSourceName, userSource, &why);
    if (!source) return Error{kErrorDomain, kNoSource, kNoMicrophoneMessage};
    device.defaultName = server->defaultSourceName;
    device.says = "mic records ";
    device.about = std::string(" (") + why + ")";
  } else if (role_ == InputRole::application) {
    const auto sink = std::find_if(sinks->begin(), sinks->end(), [this](const auto& s) { return s.index == sinkIndex_; });
    if (sink != sinks->end()) source = findSource(*sources, sink->monitorSourceName);
    if (!source) return Error{kErrorDomain, kNoSink, "the sink of playback stream " + std::to_string(sinkInput_) + " has no monitor"};
    device.sink = sink->name;
  } else {
    const PulseSinkInfo* sink = sinkToCapture(*sinks, server->defaultSinkName, recorded);
    if (sink) source = findSource(*sources, sink->monitorSourceName);
    if (!source) {
      return Error{kErrorDomain, kNoSink,
                   recorded.empty() ? "no output sink with a monitor on the sound server"
                                    : "the output sink " + recorded + " is gone and no other sink has a monitor"};
    }
    device.defaultName = server->defaultSinkName;
    device.sink = sink->name;
    const bool follows = !recorded.empty() && recorded != sink->name;
    device.says = (follows ? "system audio follows default sink " + sink->name + "; " : std::string()) +
                  "system audio records ";
    device.about = " (the monitor of sink " + sink->name + ", " + describe(source->sampleSpec) + ")";
  }
  device.name = source->name;
  device.spec = recordSpec(source->sampleSpec, server->onPipeWire() ? server->defaultRate : 0);
  // Playback streams are mixed together at the track's rate; the sink's clock still paces them.
  if (role_ == InputRole::application) device.spec.rate = kApplicationRate;
  device.map = source->channelMap;
  return device;
}

// The device a start would choose now, not the one recorded: a restart
// readies the converter for it before the stream starts.
AudioFormat PulseRecordStream::format() {
  std::lock_guard control(control_);
  auto device = chooseDevice();
  return device ? AudioFormat::standard(device->spec.rate, 1) : AudioFormat{};
}

// The loop thread reads the handlers, so they change under its lock.
template <class Handler>
void PulseRecordStream::replace(Handler& member, Handler handler) {
  std::lock_guard control(control_);
  PulseClient::Lock lock(*client_);
  member = std::move(handler);
}

void PulseRecordStream::setBlockHandler(BlockHandler handler) { replace(handler_, std::move(handler)); }

void PulseRecordStream::setChangeHandler(ChangeHandler handler) { replace(change_, std::move(handler)); }

void PulseRecordStream::setRoomCheck(RoomCheck check) { replace(room_, std::move(check)); }

void PulseRecordStream::playbackStream(uint32_t sinkInput, uint32_t sink) {
  std::lock_guard control(control_);
  sinkInput_ = sinkInput;
  sinkIndex_ = sink;
}

void PulseRecordStream::setRawStampObserver(RawStampObserver observer) {
  replace(rawStampObserver_, std::move(observer));
}

void PulseRecordStream::setWriteFrameObserver(WriteFrameObserver observer) {
  replace(writeFrameObserver_, std::move(observer));
}

void PulseRecordStream::askWriteFrame() {
  if (!stream_ || writeFrame_) return;
  writeFrame_ = pa_stream_update_timing_info(stream_, &PulseRecordStream::onWriteFrame, this);
}

Status PulseRecordStream::start() {
  std::lock_guard control(control_);
  wanted_ = true;
  auto device = chooseDevice();
  if (!device) {
    // No device of its kind: the stream open so far (moved somewhere it must not record) is closed.
    PulseClient::Lock lock(*client_);
    destroyStream();
    running_ = false;
    return device.error();
  }
  Status status;
  double holds = 0;
  std::string linked;
  bool kept = false;
  {
    PulseClient::Lock lock(*client_);
    defaultDevice_ = device->defaultName;
    // A default changed since chooseDevice read it was answered against the
    // default before: asked again now, a newer one brings another start.
    if (role_ != InputRole::application) checkDefault();
    kept = alreadyRecords(*device);
    if (kept) {
      dropIncoming();
      linked = deviceName_;
    } else if (incomingRecords(*device)) {
      // The same switch seen twice (a move and a new default): the stream that takes over is on its way.
      if (!running_) armHandover(0);  // the old one ended meanwhile
      return std::nullopt;
    } else {
      status = open(*device);
      // A stream that cannot be moved (system audio) is opened again instead: a new one is linked afresh.
      if (status && status->code == kLinkedElsewhere) status = open(*device);
      const bool overlapping = incoming_.stream != nullptr;
      holds = overlapping ? incoming_.holdSeconds : holdSeconds_;
      linked = overlapping ? incoming_.device : deviceName_;
    }
  }
  // Said once the loop lock is released: the capture thread never waits on our output.
  if (status) return status;
  // A stream kept where a move put it (one of the same format) is said once, as a new stream is.
  if (kept && linked == said_) return status;
  said_ = linked;
  // A playback stream's recording is named by its owner.
  if (role_ != InputRole::application) diag(device->says + linked + device->about);
  if (!kept && holds < kServerHoldSeconds - 0.5) {
    char note[120];
    std::snprintf(note, sizeof note, "%s: the server keeps only %.1f s of it while the helper cannot read", what(),
                  holds);
    diag(note);
  }
  return status;
}

namespace {
double heldSeconds(pa_stream* stream, const pa_sample_spec& spec) {
  const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream);
  return granted ? static_cast<double>(granted->maxlength / pa_frame_size(&spec)) / spec.rate : 0;
}
}  // namespace

// A stream that records well goes on recording while the new one is opened
// and linked (PipeWire's server links a new stream in 0.1-0.6 s), and hands
// over once the new one delivers; else the old one is closed first.
Status PulseRecordStream::open(const Device& device) {
  if (device.name != userSource_) userSource_.clear();  // gone: the default again
  dropIncoming();
  const bool overlap = mayOverlap();
  if (!overlap) {
    destroyStream();
    running_ = false;
  }
  // The block buffer exists before the stream does: the read path allocates nothing.
  const AudioFormat format = AudioFormat::standard(device.spec.rate, 1);
  std::unique_ptr<PcmBuffer>& block = overlap ? incoming_.block : block_;
  if (!block || block->format() != format) block = PcmBuffer::create(format, kPulseBlockMaxFrames);
  if (!block) return Error{kErrorDomain, kStreamFailed, "cannot allocate the capture buffer"};
  if (overlap && !handover_) {
    handover_ = pa_context_rttime_new(client_->context(), PA_USEC_INVALID, &PulseRecordStream::onHandover, this);
  }

  // A name of its own for a playback stream's recording: a session manager that restores where a stream of a
  // name went must not take the whole monitor, where "System audio" went, for it.
  const char* name = role_ == InputRole::microphone ? "Microphone"
                     : role_ == InputRole::monitor  ? "System audio"
                                                    : "Application audio";
  // PipeWire's session manager makes a stream it links to the default source
  // follow every later default, and moves it itself: the moved stream got no
  // frames while it was linked anew (0.1 s and more), then the old source's
  // last ones ahead of the new one's, and the microphone lost that much of
  // every switch. A stream of a link group (a filter's, to the manager) is
  // left where it is, so a new default goes through our own restart, the
  // stream before recording on until the new one takes over. A user's move
  // still moves it, and a source that goes away still has it rescued.
  pa_stream*& stream = overlap ? incoming_.stream : stream_;
  stream = newRecordStream(client_->context(), name, device.spec, &device.map,
                           overlap ? RecordStreamHandlers{this, &PulseRecordStream::onIncomingState,
                                                          &PulseRecordStream::onIncomingRead, nullptr, nullptr}
                                   : handlers(),
                           role_ == InputRole::microphone ? kMicrophoneLinkGroup : nullptr);
  if (!stream) {
    return Error{kErrorDomain, kStreamFailed, "cannot create " + std::string(what()) + ": " + client_->lastError()};
  }
  if (role_ == InputRole::application && pa_stream_set_monitor_stream(stream, sinkInput_) < 0) {
    releaseRecordStream(stream);
    return Error{kErrorDomain, kStreamFailed, "cannot record playback stream " + std::to_string(sinkInput_) + ": " + client_->lastError()};
  }
  if (overlap) {
    incoming_.spec = device.spec;
  } else {
    pacer_.attach(client_->context(), this, &PulseRecordStream::readAvailable);
    begin(device.spec, device.name, device.sink);
  }
  // DONT_MOVE for a monitor: one that the server "rescues" onto some other
  // source would record the microphone as system audio.
  const pa_stream_flags_t flags = role_ != InputRole::microphone ? PA_STREAM_DONT_MOVE : PA_STREAM_NOFLAGS;
  if (auto failure = connectRecordStream(*client_, stream, device.name, flags, what())) {
    if (overlap) dropIncoming();
    else destroyStream();
    return Error{kErrorDomain, failure->linkedElsewhere ? kLinkedElsewhere : kStreamFailed, failure->why};
  }
  // Where the server linked it, as it says (the very source asked for, or the start failed).
  const char* linked = pa_stream_get_device_name(stream);
  if (overlap) {
    incoming_.device = linked ? linked : device.name;
    incoming_.sink = device.sink;
    incoming_.holdSeconds = heldSeconds(stream, device.spec);
    incoming_.linked = true;
    armHandover(kOverlapMostSeconds);
    cutForIncoming();
    return std::nullopt;
  }
  if (linked) deviceName_ = linked;
  holdSeconds_ = heldSeconds(stream_, spec_);
  holdBackFrames_ = static_cast<size_t>(holdSeconds_ * kHoldBackShare * spec_.rate);
  running_ = true;
  return std::nullopt;
}

RecordStreamHandlers PulseRecordStream::handlers() {
  return {this, &PulseRecordStream::onStreamState, &PulseRecordStream::onRead, &PulseRecordStream::onMoved,
          &PulseRecordStream::onSuspended};
}

// The read state of a stream that begins: nothing read yet, a new stamp model.
void PulseRecordStream::begin(const pa_sample_spec& spec, const std::string& device, const std::string& sink) {
  spec_ = spec;
  frameBytes_ = pa_frame_size(&spec_);
  framesRead_ = 0;
  pendingFrames_ = 0;
  model_ = TimestampModel(spec_.rate);
  nextServerStamp_ = 0;
  roundLeft_ = 0;
  holdDelivery_ = false;
  deviceName_ = device;
  if (!sink.empty()) sinkName_ = sink;
}

// One switch often brings two changes (a move and a new default, or both
// defaults at once): a stream that already records the device a start would
// choose, in its format, is kept, and loses nothing to a second re-creation.
bool PulseRecordStream::alreadyRecords(const Device& device) const {
  return stream_ && running_ && !holdDelivery_ && pa_stream_get_state(stream_) == PA_STREAM_READY &&
         pa_stream_is_suspended(stream_) != 1 && device.name == deviceName_ &&
         pa_sample_spec_equal(&device.spec, &spec_) && (device.sink.empty() || device.sink == sinkName_);
}

bool PulseRecordStream::incomingRecords(const Device& device) const {
  return incoming_.linked && pa_stream_get_state(incoming_.stream) == PA_STREAM_READY &&
         device.name == incoming_.device && pa_sample_spec_equal(&device.spec, &incoming_.spec) &&
         (device.sink.empty() || device.sink == incoming_.sink);
}

// A playback stream's recording is opened again only when its stream moved or
// came back, when the old one records nothing worth keeping.
bool PulseRecordStream::mayOverlap() const {
  return role_ != InputRole::application && stream_ && running_ && !holdDelivery_ &&
         pa_stream_get_state(stream_) == PA_STREAM_READY && pa_stream_is_suspended(stream_) != 1;
}

// A stop or a cut during a handover keeps the old stream, to its end.
void PulseRecordStream::stop(double untilSeconds) {
  std::lock_guard control(control_);
  wanted_ = false;
  PulseClient::Lock lock(*client_);
  dropIncoming();
  // The deadline runs from the stop, so two streams stopped in turn wait for their tails together.
  const double wait = untilSeconds + kTailWaitSeconds - HostClock::nowSeconds();
  if (untilSeconds > 0 && wait > 0 && stream_ && running_) {
    if (stopAt_ != untilSeconds) reachedStop_ = false;
    stopAt_ = untilSeconds;
    client_->waitUntil([this] { return reachedStop_ || !stream_ || !running_; }, wait);
  }
  stopAt_ = 0;
  destroyStream();
  running_ = false;
}

void PulseRecordStream::cutAt(double untilSeconds) {
  std::lock_guard control(control_);
  PulseClient::Lock lock(*client_);
  dropIncoming();
  if (untilSeconds <= 0 || !stream_ || !running_ || stopAt_ == untilSeconds) return;
  stopAt_ = untilSeconds;
  reachedStop_ = false;
}

void PulseRecordStream::destroyStream() {
  dropIncoming();
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(client_->loop());
  if (handover_) api->time_free(std::exchange(handover_, nullptr));
  if (stream_) pacer_.detach(api);
  releaseStream();
}

void PulseRecordStream::releaseStream() {
  for (pa_operation** asked : {&timing_, &writeFrame_}) {
    if (*asked) {
      pa_operation_cancel(*asked);
      pa_operation_unref(std::exchange(*asked, nullptr));
    }
  }
  releaseRecordStream(stream_);
}

// While a stream takes over, stopAt_ is its cut or nothing: a stop or a cut
// drops the incoming stream first.
void PulseRecordStream::dropIncoming() {
  if (incoming_.stream) {
    releaseRecordStream(incoming_.stream);
    stopAt_ = 0;
    reachedStop_ = false;
  }
  incoming_.linked = false;
  incoming_.firstStamp = 0;
  armHandover(-1);
}

// `inSeconds` < 0 disarms.
void PulseRecordStream::armHandover(double inSeconds) {
  if (!handover_) return;
  pa_context_rttime_restart(client_->context(), handover_,
                            inSeconds < 0 ? PA_USEC_INVALID
                                          : pa_rtclock_now() + static_cast<pa_usec_t>(inSeconds * 1e6));
}

// --- loop thread

void PulseRecordStream::fireChange() {
  if (change_) change_();
}

// Real-time path from here to the handler: no allocation, no lock but the
// loop's own (held by libpulse around every callback), no I/O.
void PulseRecordStream::onRead(pa_stream*, size_t, void* self) {
  auto* owner = static_cast<PulseRecordStream*>(self);
  owner->pacer_.arrived(owner->stream_, owner->frameBytes_, kPulseFragmentFrames, owner->spec_.rate);
}

void PulseRecordStream::readAvailable(void* self, double arrivalSeconds) {
  auto* owner = static_cast<PulseRecordStream*>(self);
  if (!owner->stream_) return;
  owner->pacer_.reading();
  // A hole (frames the server lost) or audio from a device not yet known to be
  // the right kind: time goes on without them. The frame index carries them,
  // so the model's stamps jump by them and its fit stays.
  auto skip = [owner](size_t frames) {
    owner->flushPending();
    owner->framesRead_ += static_cast<int64_t>(frames);
  };
  const bool all = readFragments(
      owner->stream_, owner->frameBytes_, owner->spec_.rate, arrivalSeconds,
      [owner](size_t readable) { return owner->mayRead(readable); },
      [owner, &skip](const uint8_t* data, size_t frames, double rawStart) {
        if (owner->holdDelivery_) skip(frames);
        else owner->deliver(data, frames, rawStart);
      },
      skip);
  // The gathered block waits with the rest: its stamp holds, as it was taken at arrival.
  if (all) owner->flushPending();
  else owner->pacer_.retryLater();
  owner->timestampRestarts_.store(owner->model_.restartCount(), std::memory_order_relaxed);
}

// A burst larger than the track's free slots (a helper that was stopped or
// starved) stays with the server, where it keeps, until the writer frees
// them: the capture side never waits, and what it reads it can hand on.
bool PulseRecordStream::mayRead(size_t readable) const {
  if (readable >= holdBackFrames_) return true;
  // While another stream takes over, the audio waits until that one's first frame says where it ends.
  if (incoming_.stream && stopAt_ == 0 && !changing_) return false;
  return !room_ || room_(kPulseBlockMaxFrames);
}

// Before a move or a suspension: what the server sent before it came from the
// device before, and is stamped as such (it arrived before the news). Read
// after the change, it would be skipped as audio of an unknown device, or
// stamped across the break.
void PulseRecordStream::readBeforeChange() {
  changing_ = true;
  readAvailable(this, pacer_.lastArrival());
  changing_ = false;
  flushPending();
}

// Fragments are gathered into the block, every channel mixed in alike: a
// source that sends tiny fragments must not turn into tiny blocks, each of
// which would take a slot of the track's ring.
void PulseRecordStream::deliver(const uint8_t* data, size_t frames, double rawStart) {
  const uint32_t channels = spec_.channels;
  const auto* samples = reinterpret_cast<const float*>(data);
  float* mono = block_->floatChannelData(0);
  for (size_t offset = 0; offset < frames;) {
    if (pendingFrames_ == 0) {
      pendingIndex_ = framesRead_;
      pendingRawStart_ = rawStart + static_cast<double>(offset) / spec_.rate;
    }
    const auto count = static_cast<uint32_t>(std::min<size_t>(frames - offset, kPulseBlockMaxFrames - pendingFrames_));
    mixToMono(samples + offset * channels, channels, count, mono + pendingFrames_);
    pendingFrames_ += count;
    framesRead_ += count;
    offset += count;
    if (pendingFrames_ == kPulseBlockMaxFrames) flushPending();
  }
}

// Hands the gathered block on. While a stop waits for its moment, frames
// stamped after it are cut off, and reaching it wakes the stop.
void PulseRecordStream::flushPending() {
  if (pendingFrames_ == 0) return;
  double published = model_.publish(pendingIndex_, pendingRawStart_);
  if (rawStampObserver_) rawStampObserver_(pendingIndex_, pendingRawStart_, published);
  askServer();
  uint32_t frames = pendingFrames_;
  pendingFrames_ = 0;
  const uint32_t handed = handedOnAlready(published, frames);
  if (handed > 0) {
    float* mono = block_->floatChannelData(0);
    std::copy(mono + handed, mono + frames, mono);
    frames -= handed;
    published += handed / static_cast<double>(spec_.rate);
  }
  if (stopAt_ > 0) {
    const double wanted = std::ceil((stopAt_ - published) * spec_.rate);
    if (wanted <= frames) {
      frames = static_cast<uint32_t>(std::max(0.0, wanted));
      reachedStop_ = true;
      client_->signal();
      if (incoming_.linked) armHandover(0);
    }
  }
  if (handler_ && frames > 0) {
    block_->setFrameLength(frames);
    handler_(*block_, AudioTime{HostClock::hostTimeForSeconds(published), true, model_.settling()});
  }
  if (frames > 0) deliveredUntil_ = published + frames / static_cast<double>(spec_.rate);
}

// --- the handover (loop lock held)

// The incoming stream is not read: its fragments wait with the server, and
// the earliest arrival (the least delayed) stamps its first frame, as the
// read path would.
void PulseRecordStream::onIncomingRead(pa_stream* stream, size_t, void* self) {
  auto* owner = static_cast<PulseRecordStream*>(self);
  const size_t readable = pa_stream_readable_size(stream);
  if (readable == static_cast<size_t>(-1)) return;
  const auto frames = static_cast<double>(readable / pa_frame_size(&owner->incoming_.spec));
  const double first = HostClock::nowSeconds() - frames / owner->incoming_.spec.rate;
  if (owner->incoming_.firstStamp == 0 || first < owner->incoming_.firstStamp) {
    owner->incoming_.firstStamp = first;
    owner->cutForIncoming();
  }
}

void PulseRecordStream::onIncomingState(pa_stream* stream, void* self) {
  auto* owner = static_cast<PulseRecordStream*>(self);
  owner->client_->signal();  // a start waits for it to connect
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && owner->incoming_.linked) owner->armHandover(0);
}

// The old stream delivers up to the new one's first frame, and no further.
void PulseRecordStream::cutForIncoming() {
  if (!incoming_.linked || incoming_.firstStamp == 0) return;
  const bool first = stopAt_ == 0;
  stopAt_ = incoming_.firstStamp;
  if (first) {
    reachedStop_ = false;
    armHandover(kPulseFragmentFrames / static_cast<double>(spec_.rate) + kHandoverWaitSeconds);
  }
}

void PulseRecordStream::onHandover(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
  static_cast<PulseRecordStream*>(self)->handOver();
}

// The old stream delivers what it holds up to the cut and goes; the new one
// is read from its first frame, stamped as its earliest arrival put it.
void PulseRecordStream::handOver() {
  if (!incoming_.linked) return;
  const char* linked = pa_stream_get_device_name(incoming_.stream);
  if (pa_stream_get_state(incoming_.stream) != PA_STREAM_READY || !linked || incoming_.device != linked) {
    // It failed or went elsewhere before it took over: the old one records on, and the owner opens another.
    dropIncoming();
    return fireChange();
  }
  // The old stream's audio up to the cut, or up to now when the new one delivered nothing.
  if (stopAt_ == 0) stopAt_ = HostClock::nowSeconds();
  readAvailable(this, pacer_.lastArrival());
  flushPending();
  releaseStream();
  stream_ = std::exchange(incoming_.stream, nullptr);
  setRecordStreamHandlers(stream_, handlers());
  begin(incoming_.spec, incoming_.device, incoming_.sink);
  holdSeconds_ = incoming_.holdSeconds;
  holdBackFrames_ = static_cast<size_t>(holdSeconds_ * kHoldBackShare * spec_.rate);
  std::swap(block_, incoming_.block);
  stopAt_ = 0;
  reachedStop_ = false;
  const double first = std::exchange(incoming_.firstStamp, 0.0);
  incoming_.linked = false;
  running_ = true;
  const size_t readable = pa_stream_readable_size(stream_);
  const double arrival =
      first > 0 && readable != static_cast<size_t>(-1) ? first + static_cast<double>(readable / frameBytes_) / spec_.rate : 0;
  pacer_.restart(arrival);
  if (arrival > 0) readAvailable(this, arrival);
}

// Where a stream opened again (or moved) stamps a block, while its stamps
// settle, before the end of the last block handed on (the stream before it
// delivered that far, or its line moved down to earlier arrivals), that head
// was handed on already: the frames before the end (the track would skip
// them too). The input's first stream moves the track's start instead.
uint32_t PulseRecordStream::handedOnAlready(double published, uint32_t frames) {
  if (!model_.settling()) {
    settledOnce_ = true;
    return 0;
  }
  if (!settledOnce_ || published >= deliveredUntil_) return 0;
  return static_cast<uint32_t>(std::min<double>(frames, std::ceil((deliveredUntil_ - published) * spec_.rate)));
}

// A round every kServerStampSeconds as the baseline, and answers for the
// verdict on a step in the stamps (asked again on every answer while the
// model sweeps). A server that cannot say leaves the step to the stamps.
void PulseRecordStream::askServer() {
  const double now = HostClock::nowSeconds();
  if (timing_) {
    // An answer that has not come in this long never will: the question goes,
    // so that later rounds may be asked, and a step waiting on it holds.
    const auto waited = static_cast<double>(framesRead_ - timingAskedFrame_) / spec_.rate;
    if (waited <= TimestampModel::kServerWordSeconds) return;
    pa_operation_cancel(timing_);
    pa_operation_unref(std::exchange(timing_, nullptr));
    roundLeft_ = 0;
    return model_.serverSilent();
  }
  if (roundLeft_ == 0) {
    if (!model_.stepAwaitsServer() && now < nextServerStamp_) return;
    roundLeft_ = kServerRoundStamps;
    nextServerStamp_ = now + kServerStampSeconds;
  }
  timing_ = pa_stream_update_timing_info(stream_, &PulseRecordStream::onTiming, this);
  timingAskedAt_ = now;
  timingAskedFrame_ = framesRead_;
  if (timing_) return;
  roundLeft_ = 0;
  model_.serverSilent();
}

// The server's write index is the frame its clock had reached at its
// timestamp, less what the source still held (on one machine both clocks
// are the same wall clock; ours is the monotonic one).
void PulseRecordStream::onTiming(pa_stream* stream, int success, void* self) {
  auto* owner = static_cast<PulseRecordStream*>(self);
  const double now = HostClock::nowSeconds();
  if (owner->timing_) pa_operation_unref(std::exchange(owner->timing_, nullptr));
  const pa_timing_info* info = success ? pa_stream_get_timing_info(stream) : nullptr;
  const bool usable = info && !info->write_index_corrupt && info->synchronized_clocks;
  if (usable) {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    const double wallToHost = now - (static_cast<double>(wall.tv_sec) + static_cast<double>(wall.tv_nsec) * 1e-9);
    const double answered = static_cast<double>(info->timestamp.tv_sec) +
                            static_cast<double>(info->timestamp.tv_usec) * 1e-6 + wallToHost;
    const double stamped = answered - static_cast<double>(info->source_usec) * 1e-6;
    // How late we read the answer does not matter; how late the server gave it may.
    if (owner->model_.stepAwaitsServer() || answered - owner->timingAskedAt_ <= kServerAnswerSeconds) {
      owner->model_.serverStamp(info->write_index / static_cast<int64_t>(owner->frameBytes_), stamped);
    }
  }
  if (--owner->roundLeft_ <= 0) {
    owner->roundLeft_ = 0;
    owner->model_.serverRoundEnd();
  }
  // The next push is at most a graph cycle away; a server that gave no usable
  // answer is asked again with the next block only.
  if (usable && owner->model_.sweepingServer()) owner->askServer();
}

void PulseRecordStream::onWriteFrame(pa_stream* stream, int success, void* self) {
  auto* owner = static_cast<PulseRecordStream*>(self);
  if (owner->writeFrame_) pa_operation_unref(std::exchange(owner->writeFrame_, nullptr));
  const pa_timing_info* info = success ? pa_stream_get_timing_info(stream) : nullptr;
  if (info && !info->write_index_corrupt && owner->writeFrameObserver_) {
    owner->writeFrameObserver_(info->write_index / static_cast<int64_t>(owner->frameBytes_));
  }
}

void PulseRecordStream::onStreamState(pa_stream* stream, void* self) {
  auto* owner = static_cast<PulseRecordStream*>(self);
  owner->client_->signal();
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
  const bool wasRunning = owner->running_.exchange(false);
  // A dead context reports itself through onContextLost.
  if (wasRunning && PA_CONTEXT_IS_GOOD(pa_context_get_state(owner->client_->context()))) owner->fireChange();
}

// The stream and its read timer go with the context they were made on.
void PulseRecordStream::onContextLost(void* self) {
  auto* owner = static_cast<PulseRecordStream*>(self);
  owner->pendingFrames_ = 0;
  owner->destroyStream();
  if (owner->running_.exchange(false)) owner->fireChange();
}

void PulseRecordStream::onContextBack(void* self) {
  auto* owner = static_cast<PulseRecordStream*>(self);
  if (owner->wanted_ && !owner->running_) owner->fireChange();
}

void PulseRecordStream::onMoved(pa_stream*, void* self) {
  auto* owner = static_cast<PulseRecordStream*>(self);
  owner->client_->signal();  // a start may wait for the move back onto its source
  owner->readBeforeChange();
  owner->model_.reset();
  // A playback stream's recording follows that stream to whichever sink it plays on.
  if (owner->role_ == InputRole::application) return;
  // The server may have "rescued" us onto the wrong kind of device: deliver nothing until we know.
  owner->holdDelivery_ = true;
  owner->checkMove();
}

// Asks which source is the default, whether the source we left is still
// there, then where we are now; the answers come in that order, and the last
// one decides. The server moves a stream off a source that went away, and
// onto a new default: any other move of the microphone is the user's. System
// audio stays on the monitor it was opened on, or is opened again on the
// default sink's.
void PulseRecordStream::checkMove() {
  movedOffLiveSource_ = false;
  pa_operation* server = pa_context_get_server_info(
      client_->context(),
      [](pa_context*, const pa_server_info* info, void* self) {
        auto* owner = static_cast<PulseRecordStream*>(self);
        if (info && info->default_source_name && owner->role_ == InputRole::microphone) {
          owner->defaultDevice_ = info->default_source_name;
        }
      },
      this);
  if (server) pa_operation_unref(server);
  pa_operation* left = pa_context_get_source_info_by_name(
      client_->context(), deviceName_.c_str(),
      [](pa_context*, const pa_source_info* info, int eol, void* self) {
        if (eol == 0 && info) static_cast<PulseRecordStream*>(self)->movedOffLiveSource_ = true;
      },
      this);
  if (left) pa_operation_unref(left);
  pa_operation* now = pa_context_get_source_info_by_index(
      client_->context(), pa_stream_get_device_index(stream_),
      [](pa_context*, const pa_source_info* info, int eol, void* self) {
        auto* owner = static_cast<PulseRecordStream*>(self);
        if (eol > 0 || !owner->stream_) return;
        if (info && info->index != pa_stream_get_device_index(owner->stream_)) return;  // moved again since
        const bool monitor = info && info->monitor_of_sink != PA_INVALID_INDEX;
        const std::string name = info && info->name ? info->name : "";
        // Only the monitor the rules chose: another sink's (where a session
        // manager relinks a stream it remembers) is opened again where it belongs.
        if (owner->role_ != InputRole::microphone) {
          if (!monitor || name != owner->deviceName_) return owner->fireChange();
          owner->holdDelivery_ = false;
          return;
        }
        if (info) {
          owner->holdDelivery_ = monitor;
          // Back onto the source we asked for is our own doing (keepOnSource).
          const bool users = !monitor && owner->movedOffLiveSource_ && name != owner->deviceName_ &&
                             name != owner->defaultDevice_;
          owner->deviceName_ = name;
          if (users) owner->userSource_ = name;
        }
        owner->fireChange();
      },
      this);
  if (now) pa_operation_unref(now);
  else fireChange();
}

void PulseRecordStream::onSuspended(pa_stream* stream, void* self) {
  auto* owner = static_cast<PulseRecordStream*>(self);
  owner->readBeforeChange();
  owner->model_.reset();
  if (owner->role_ == InputRole::microphone && pa_stream_is_suspended(stream) == 1) owner->fireChange();
}

// A stream that could not be opened (no device of its kind) tries again when
// one may have come.
void PulseRecordStream::onServerChanged(void* self) {
  auto* owner = static_cast<PulseRecordStream*>(self);
  if (owner->wanted_ && !owner->running_) owner->fireChange();
  else if (owner->role_ != InputRole::application) owner->checkDefault();
}

// The microphone follows a new default source until the user moved it; the
// system audio follows a new default sink that has a monitor.
void PulseRecordStream::checkDefault() {
  pa_operation* op = pa_context_get_server_info(
      client_->context(),
      [](pa_context*, const pa_server_info* info, void* self) {
        auto* owner = static_cast<PulseRecordStream*>(self);
        // A stream being opened again is wanted too: it was opened under the
        // default its start saw, and a newer one asks for another start.
        if (!info || !owner->wanted_) return;
        const char* name = owner->role_ == InputRole::microphone ? info->default_source_name : info->default_sink_name;
        const std::string current = name ? name : "";
        if (current == owner->defaultDevice_) return;
        owner->defaultDevice_ = current;
        // Until a stream on its way takes over, the sink it goes to is the one recorded.
        const std::string& recorded = owner->incoming_.stream ? owner->incoming_.sink : owner->sinkName_;
        if (owner->role_ == InputRole::monitor ? current != recorded : owner->userSource_.empty()) {
          owner->fireChange();
        }
      },
      this);
  if (op) pa_operation_unref(op);
}

}  // namespace orvane
