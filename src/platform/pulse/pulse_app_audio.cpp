// PulseAppAudio: which playback streams match, their recordings' comings and
// goings, and the mixing ring that turns their blocks into one block sequence.
#include "platform/pulse/pulse_app_audio.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "events/output.h"
#include "platform/runtime/host_clock.h"

namespace orvane {

namespace {

constexpr const char* kErrorDomain = "pulse";
constexpr double kRate = kApplicationRate;

std::string label(const PulseSinkInputInfo& input) {
  const std::string& who = input.applicationName.empty() ? input.processBinary : input.applicationName;
  return who + " (playback stream " + std::to_string(input.index) + ")";
}

void timevalAfter(timeval& when, double seconds) {
  pa_gettimeofday(&when);
  pa_timeval_add(&when, static_cast<pa_usec_t>(seconds * 1e6));
}

}  // namespace

PulseAppAudio::PulseAppAudio(std::shared_ptr<PulseClient> client, std::vector<std::string> names)
    : client_(std::move(client)), names_(std::move(names)) {
  client_->addObserver({this, &PulseAppAudio::onContextLost, &PulseAppAudio::onContextBack, [](void*) {},
                        &PulseAppAudio::onSinkInput});
  client_->watchSinkInputs();
}

PulseAppAudio::~PulseAppAudio() {
  stop();
  client_->removeObserver(this);
}

bool PulseAppAudio::matches(const char* applicationName, const char* processBinary) const {
  return std::any_of(names_.begin(), names_.end(), [&](const std::string& name) {
    return (applicationName && strcasecmp(applicationName, name.c_str()) == 0) ||
           (processBinary && strcasecmp(processBinary, name.c_str()) == 0);
  });
}

std::string PulseAppAudio::namesText() const {
  std::string text;
  for (const std::string& name : names_) text += (text.empty() ? "" : ", ") + name;
  return text;
}

PulseAppAudio::Playing* PulseAppAudio::findPlaying(uint32_t sinkInput) {
  for (const auto& playing : playing_) {
    if (playing->sinkInput == sinkInput) return playing.get();
  }
  return nullptr;
}

template <class Handler>
void PulseAppAudio::replace(Handler& member, Handler handler) {
  std::lock_guard control(control_);
  PulseClient::Lock lock(*client_);
  member = std::move(handler);
}

void PulseAppAudio::setBlockHandler(BlockHandler handler) { replace(handler_, std::move(handler)); }

void PulseAppAudio::setChangeHandler(ChangeHandler handler) { replace(change_, std::move(handler)); }

void PulseAppAudio::setRoomCheck(RoomCheck check) { replace(room_, std::move(check)); }

Status PulseAppAudio::start() {
  std::lock_guard control(control_);
  wanted_ = true;
  std::string reason;
  if (client_->connect(kPulseConnectTimeoutSeconds, &reason) != PulseClient::Outcome::connected) {
    running_ = false;
    return Error{kErrorDomain, 1, "the sound server is not reachable: " + reason};
  }
  const auto inputs = client_->sinkInputs();
  const auto server = client_->serverInfo();
  if (!inputs || !server) {
    running_ = false;
    return Error{kErrorDomain, 1, inputs ? "the sound server did not say which server it is"
                                         : "the sound server did not list its playback streams"};
  }
  const bool first = beginRing();
  {
    PulseClient::Lock lock(*client_);
    onPipeWire_ = server->onPipeWire();
  }
  const std::string before = playingLabels();
  // A new server numbers its playback streams afresh: what was recorded on the old one has ended.
  const std::string ended = letGoOfEnded(*inputs, serverLost_.exchange(false));
  const bool kept = !playingLabels().empty();
  recordNewMatches(*inputs);
  running_ = true;
  const std::string now = playingLabels();
  const std::string from = "system audio from " + namesText() + ": ";
  if (!kept && !now.empty()) diag(from + "records " + now);
  else if (!before.empty() && now.empty()) diag(from + ended + " ended; silence until one of them plays again");
  else if (first && now.empty()) diag(from + "none of them plays; silence until one does");
  return std::nullopt;
}

std::string PulseAppAudio::playingLabels() const {
  std::string labels;
  for (const auto& playing : playing_) {
    if (playing->sinkInput != PA_INVALID_INDEX) labels += (labels.empty() ? "" : ", ") + playing->label;
  }
  return labels;
}

// Closes the recordings of streams that went or no longer match (all of them
// after `renewed`, a new server) and opens again those whose recording ended
// (PulseAudio ends it when its stream moves to another sink); returns who ended.
std::string PulseAppAudio::letGoOfEnded(const std::vector<PulseSinkInputInfo>& inputs, bool renewed) {
  std::string ended;
  for (const auto& place : playing_) {
    Playing& playing = *place;
    if (playing.sinkInput == PA_INVALID_INDEX) continue;
    const auto input = std::find_if(inputs.begin(), inputs.end(),
                                    [&](const PulseSinkInputInfo& i) { return i.index == playing.sinkInput; });
    if (renewed || input == inputs.end() || !matches(input->applicationName.c_str(), input->processBinary.c_str())) {
      ended += (ended.empty() ? "" : ", ") + playing.label;
      closePlaying(playing);
    } else if (input->sink != PA_INVALID_INDEX && !playing.stream->isRunning()) {
      openPlaying(playing, *input);
    }
  }
  return ended;
}

// A stream not yet linked to a sink (PipeWire's, as it comes) is recorded
// once its link says where.
void PulseAppAudio::recordNewMatches(const std::vector<PulseSinkInputInfo>& inputs) {
  for (const PulseSinkInputInfo& input : inputs) {
    if (input.sink == PA_INVALID_INDEX || findPlaying(input.index)) continue;
    if (!matches(input.applicationName.c_str(), input.processBinary.c_str())) continue;
    Playing* place = findPlaying(PA_INVALID_INDEX);
    if (!place) {
      PulseClient::Lock lock(*client_);
      place = playing_.emplace_back(std::make_unique<Playing>()).get();
    }
    openPlaying(*place, input);
  }
}

void PulseAppAudio::openPlaying(Playing& playing, const PulseSinkInputInfo& input) {
  if (!playing.stream) {
    playing.stream = std::make_unique<PulseRecordStream>(client_, InputRole::application);
    Playing* place = &playing;
    playing.stream->setBlockHandler(
        [this, place](const PcmBuffer& block, const AudioTime& stamp) { mixIn(*place, block, stamp); });
    playing.stream->setChangeHandler([this] { fireChange(); });
    playing.stream->setRoomCheck([this](uint32_t frames) { return !room_ || room_(frames); });
    playing.stream->setWriteFrameObserver([this, place](int64_t writeFrame) {
      place->cycle.add(writeFrame);
      if (!holding(*place)) release(*place);
    });
  }
  playing.stream->playbackStream(input.index, input.sink);
  playing.label = label(input);
  {
    PulseClient::Lock lock(*client_);
    playing.sinkInput = input.index;
    release(playing);
    playing.lane = {};
    playing.cycle.restart();
    playing.settling = true;
    playing.openedSeconds = HostClock::nowSeconds();
  }
  if (Status error = playing.stream->start()) {
    diag("system audio cannot record " + playing.label + ": " + error->description);
    closePlaying(playing);
    return;
  }
  PulseClient::Lock lock(*client_);
  if (!onPipeWire_) return;
  playing.stream->askWriteFrame();
  if (learning(playing)) tickIn(kLearnTickSeconds);
}

void PulseAppAudio::closePlaying(Playing& playing, double untilSeconds) {
  playing.stream->stop(untilSeconds);
  PulseClient::Lock lock(*client_);
  release(playing);
  playing.sinkInput = PA_INVALID_INDEX;
}

// The ring is made once, at the first start: its frame 0 is that moment.
bool PulseAppAudio::beginRing() {
  PulseClient::Lock lock(*client_);
  const bool first = !ring_;
  if (first) {
    ring_ = std::make_unique<MixingRing>(kRate, static_cast<int64_t>(kRingSeconds * kRate), HostClock::nowSeconds());
    block_ = PcmBuffer::create(format(), kPulseBlockMaxFrames);
  }
  if (!tick_) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(client_->loop());
    timeval when{};
    timevalAfter(when, kTickSeconds);
    tick_ = api->time_new(api, &when, &PulseAppAudio::onTick, this);
  }
  return first;
}

void PulseAppAudio::stop(double untilSeconds) {
  std::lock_guard control(control_);
  wanted_ = false;
  // Each recording delivers what was stamped before the moment into the ring, then the ring hands it on.
  for (const auto& playing : playing_) {
    if (playing->sinkInput != PA_INVALID_INDEX) closePlaying(*playing, untilSeconds);
  }
  {
    PulseClient::Lock lock(*client_);
    if (untilSeconds > 0 && ring_) handOn(untilSeconds, 0);
    if (tick_) pa_threaded_mainloop_get_api(client_->loop())->time_free(std::exchange(tick_, nullptr));
    running_ = false;
  }
  if (const int64_t missed = framesMissed_.exchange(0)) {
    diag("system audio from " + namesText() + ": " + std::to_string(missed) +
         " frames came too late for the mix and were left out");
  }
}

void PulseAppAudio::cutAt(double untilSeconds) {
  std::lock_guard control(control_);
  for (const auto& playing : playing_) {
    if (playing->sinkInput != PA_INVALID_INDEX) playing->stream->cutAt(untilSeconds);
  }
  PulseClient::Lock lock(*client_);
  cutSeconds_ = untilSeconds;
}

// --- loop thread

void PulseAppAudio::fireChange() {
  if (change_) change_();
}

// Real-time path: no allocation, no lock but the loop's own, no I/O.
void PulseAppAudio::mixIn(Playing& playing, const PcmBuffer& block, const AudioTime& stamp) {
  if (!ring_) return;
  const float* samples = block.floatChannelData(0);
  const double seconds = HostClock::secondsForHostTime(stamp.hostTime);
  playing.settling = stamp.startsAnew;
  if (!holding(playing) || !playing.held.keep(samples, block.frameLength(), seconds)) {
    release(playing);
    add(playing, samples, block.frameLength(), seconds);
  }
  handOn(dueSeconds(), kPulseFragmentFrames);
  // While blocks come they hand the ring on, and the tick would only wake us:
  // it waits (not on PipeWire, where it reads the write indexes).
  if (!onPipeWire_) tickIn(kTickSeconds);
}

void PulseAppAudio::add(Playing& playing, const float* samples, int64_t frames, double stampSeconds) {
  const int64_t missed = ring_->add(playing.lane, samples, frames, stampSeconds, lateFrames(playing));
  if (missed > 0) framesMissed_.fetch_add(missed, std::memory_order_relaxed);
}

// The blocks held while the stream's cycle was learnt and its stamps settled go where they belong now.
void PulseAppAudio::release(Playing& playing) {
  playing.held.release(kRate, [&](const float* samples, int64_t frames, double stampSeconds) {
    add(playing, samples, frames, stampSeconds);
  });
}

void PulseAppAudio::tickIn(double seconds) {
  if (!tick_) return;
  timeval when{};
  timevalAfter(when, seconds);
  pa_threaded_mainloop_get_api(client_->loop())->time_restart(tick_, &when);
}

// What a stream's own monitor takes a graph cycle before the sink's monitor
// does (nothing while its cycle is unknown; the stream is placed afresh when
// it becomes known after all, and whenever it changes).
int64_t PulseAppAudio::lateFrames(const Playing& playing) const {
  return onPipeWire_ ? playing.cycle.cycleFrames() : 0;
}

// On PipeWire a stream's blocks are held until its cycle is known and its
// stamps settled, each for a while at most, and not past the stop.
bool PulseAppAudio::holding(const Playing& playing) const {
  if (!onPipeWire_ || cutSeconds_ > 0 || !wanted_) return false;
  const double opened = HostClock::nowSeconds() - playing.openedSeconds;
  return (playing.cycle.cycleFrames() == 0 && opened < kCycleHoldSeconds) ||
         (playing.settling && opened < kSettleHoldSeconds);
}

bool PulseAppAudio::learning(const Playing& playing) const {
  return playing.cycle.cycleFrames() == 0 && holding(playing);
}

// Half a second ago, or where a recorded stream's blocks have come to if that
// is earlier: its backlog is still to come (at most kMostLateSeconds of it).
// A stream not yet placed keeps the ring before it was opened, or before the
// first block it holds, by as much as its stamps may yet settle earlier: on
// a busy machine a stream's first blocks came seconds after it was opened.
double PulseAppAudio::dueSeconds() const {
  const double now = HostClock::nowSeconds();
  double due = now - kMixHorizonSeconds;
  for (const auto& playing : playing_) {
    if (playing->sinkInput == PA_INVALID_INDEX) continue;
    if (playing->lane.placed) {
      due = std::min(due, ring_->secondsAt(playing->lane.nextFrame));
      continue;
    }
    double first = playing->openedSeconds;
    if (!playing->held.empty()) first = std::min(first, playing->held.firstStampSeconds());
    due = std::min(due, first - HeldBlocks::kMostSettleSeconds);
  }
  return std::max(due, now - kMostLateSeconds);
}

// What is due, not past a cut, once at least `leastFrames` are.
void PulseAppAudio::handOn(double untilSeconds, int64_t leastFrames) {
  if (cutSeconds_ > 0) untilSeconds = std::min(untilSeconds, cutSeconds_);
  ring_->handOn(untilSeconds, leastFrames, kPulseBlockMaxFrames,
                [this](const float* samples, uint32_t frames, double seconds) {
                  std::memcpy(block_->floatChannelData(0), samples, frames * sizeof(float));
                  block_->setFrameLength(frames);
                  if (handler_) handler_(*block_, AudioTime{HostClock::hostTimeForSeconds(seconds), true});
                });
}

void PulseAppAudio::onTick(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* self) {
  auto* owner = static_cast<PulseAppAudio*>(self);
  bool learning = false;
  for (const auto& playing : owner->playing_) {
    if (!owner->onPipeWire_ || playing->sinkInput == PA_INVALID_INDEX) continue;
    playing->stream->askWriteFrame();
    if (owner->learning(*playing)) learning = true;
    if (!owner->holding(*playing)) owner->release(*playing);
  }
  // The quick ticks hand on no piece shorter than a fragment: a track's ring has slots for a few blocks.
  owner->handOn(owner->dueSeconds(), learning ? kPulseFragmentFrames : 0);
  const double spread = learning ? kLearnTickSpreadSeconds : kTickSpreadSeconds;
  timeval when{};
  timevalAfter(when, (learning ? kLearnTickSeconds : kTickSeconds) + spread * (owner->ticks_++ % 3 - 1));
  api->time_restart(event, &when);
}

// A matching playback stream that is not recorded, or one recorded that no
// longer matches or went: the owner starts us again, which sets the
// recordings right. (A recording that ends, as PulseAudio's does when its
// stream moves to another sink, says so itself.)
void PulseAppAudio::onSinkInput(void* self, pa_subscription_event_type_t type, uint32_t index) {
  auto* owner = static_cast<PulseAppAudio*>(self);
  if (!owner->wanted_) return;
  if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
    if (owner->findPlaying(index)) owner->fireChange();
    return;
  }
  pa_operation* op = pa_context_get_sink_input_info(
      owner->client_->context(), index,
      [](pa_context*, const pa_sink_input_info* info, int eol, void* self) {
        auto* owner = static_cast<PulseAppAudio*>(self);
        if (eol != 0 || !info || !owner->wanted_) return;
        const bool wanted = owner->matches(pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME),
                                           pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY));
        const Playing* playing = owner->findPlaying(info->index);
        if (playing ? !wanted : wanted && info->sink != PA_INVALID_INDEX) owner->fireChange();
      },
      owner);
  if (op) pa_operation_unref(op);
}

void PulseAppAudio::onContextLost(void* self) {
  auto* owner = static_cast<PulseAppAudio*>(self);
  owner->running_ = false;
  owner->serverLost_ = true;
}

void PulseAppAudio::onContextBack(void* self) {
  auto* owner = static_cast<PulseAppAudio*>(self);
  if (owner->wanted_) owner->fireChange();
}

}  // namespace orvane
