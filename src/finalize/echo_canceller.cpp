// The echo canceller over WebRTC's audio processing: the system track is the
// far end (what was played), the microphone track the near end.
#include "finalize/echo_canceller.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include <webrtc/modules/audio_processing/include/audio_processing.h>

namespace orvane {
namespace {

// The delay told to the library sits this far before the one found, so an
// echo that comes a little earlier still lands inside the filter; it moves
// only when the one found leaves [told + margin, told + margin + slack], as
// every move makes the library shift its filter.
constexpr double kDelayMarginMs = 10;
constexpr double kDelaySlackMs = 40;

constexpr const char* kErrorDomain = "audio-processing";

Error libraryError(const char* what, int code) {
  return Error{kErrorDomain, code, std::string("the audio processing library refused ") + what + " (" +
                                       std::to_string(code) + ")"};
}

}  // namespace

EchoCanceller::EchoCanceller(webrtc::AudioProcessing* processing, const DoubleTalkDetector::Settings& doubleTalk)
    : processing_(processing), doubleTalk_(doubleTalk) {}
EchoCanceller::~EchoCanceller() = default;

Result<std::unique_ptr<EchoCanceller>> EchoCanceller::create(const EchoCancellerSettings& settings) {
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(settings.extendedFilter));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(settings.libraryDelaySearch));
  config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
  webrtc::AudioProcessing* processing = webrtc::AudioProcessing::Create(config);
  if (!processing) return Error{kErrorDomain, ENOMEM, "the audio processing library could not be started"};
  std::unique_ptr<EchoCanceller> canceller(new EchoCanceller(processing, settings.doubleTalk));
  canceller->ownDelay_ = !settings.libraryDelaySearch;
  const webrtc::StreamConfig mono(kRate, 1);
  if (int code = processing->Initialize({{mono, mono, mono, mono}})) return libraryError("48 kHz mono", code);
  webrtc::EchoCancellation* echo = processing->echo_cancellation();
  const auto level = static_cast<webrtc::EchoCancellation::SuppressionLevel>(std::clamp(settings.suppression, 0, 2));
  if (int code = echo->set_suppression_level(level)) return libraryError("the suppression level", code);
  if (int code = echo->Enable(true)) return libraryError("the echo canceller", code);
  // The filter's options reach the canceller only once it is enabled.
  processing->SetExtraOptions(config);
  if (int code = processing->high_pass_filter()->Enable(settings.highPass)) return libraryError("the filter", code);
  if (settings.noiseSuppression) {
    processing->noise_suppression()->set_level(webrtc::NoiseSuppression::kModerate);
    if (int code = processing->noise_suppression()->Enable(true)) return libraryError("noise suppression", code);
  }
  return canceller;
}

uint32_t EchoCanceller::process(const float* mic, const float* system, uint32_t frames, float* micOut,
                                float* systemOut, uint32_t capacity) {
  for (uint32_t i = 0; i < frames; ++i) {
    systemRing_[taken_ % kRing] = system[i];
    rawRing_[taken_++ % kRing] = mic[i];
    micBlock_[blockFill_] = mic[i];
    systemBlock_[blockFill_] = system[i];
    if (++blockFill_ == kBlockFrames) processBlock();
  }
  return emit(micOut, systemOut, capacity, processed_ - kLatencyFrames);
}

uint32_t EchoCanceller::drain(float* micOut, float* systemOut, uint32_t capacity) {
  // The last part block and the library's latency are pushed through with
  // silence on both sides.
  while (processed_ - kLatencyFrames < taken_) {
    std::fill(micBlock_.begin() + blockFill_, micBlock_.end(), 0.0f);
    std::fill(systemBlock_.begin() + blockFill_, systemBlock_.end(), 0.0f);
    blockFill_ = kBlockFrames;
    processBlock();
  }
  return emit(micOut, systemOut, capacity, taken_);
}

// Output frame f is the library's frame f + kLatencyFrames; its first
// kLatencyFrames belong to no input and are dropped.
uint32_t EchoCanceller::emit(float* micOut, float* systemOut, uint32_t capacity, int64_t limit) {
  const auto count = static_cast<uint32_t>(std::clamp<int64_t>(std::min(limit, taken_) - given_, 0, capacity));
  for (uint32_t i = 0; i < count; ++i) {
    micOut[i] = micRing_[(given_ + i) % kRing];
    systemOut[i] = systemRing_[(given_ + i) % kRing];
  }
  given_ += count;
  return count;
}

// The far end first, then the near end that may hold its echo. A block the
// library refuses comes out as it was recorded. Everything here goes block by
// block, so the output is the same however the calls cut the tracks.
void EchoCanceller::processBlock() {
  delay_.add(micBlock_.data(), systemBlock_.data(), kBlockFrames);
  double reference = 0;
  for (float v : systemBlock_) reference += double(v) * v;
  const webrtc::StreamConfig mono(kRate, 1);
  float* systemChannels[] = {systemBlock_.data()};
  processing_->ProcessReverseStream(systemChannels, mono, mono, systemChannels);
  const std::optional<double> found = delay_.delayMs();
  if (ownDelay_ && found && (*found < toldMs_ + kDelayMarginMs || *found > toldMs_ + kDelayMarginMs + kDelaySlackMs)) {
    toldMs_ = static_cast<int>(std::max(0.0, *found - kDelayMarginMs));
  }
  processing_->set_stream_delay_ms(toldMs_);
  float* micChannels[] = {micBlock_.data()};
  processing_->ProcessStream(micChannels, mono, mono, micChannels);
  mixBack(reference / kBlockFrames);
  processed_ += kBlockFrames;
  blockFill_ = 0;
}

// The library's block, which is the input's frames kLatencyFrames earlier,
// into the output, with the recorded microphone mixed back as double talk
// asks. The share moves across the block, so a change makes no step.
void EchoCanceller::mixBack(double referenceEnergy) {
  const int64_t first = processed_ - kLatencyFrames;
  // Before the first frame and after the last (drain()) the microphone was silent.
  auto recordedAt = [&](int64_t frame) { return frame >= 0 && frame < taken_ ? rawRing_[frame % kRing] : 0.0f; };
  double recorded = 0, processed = 0;
  for (uint32_t i = 0; i < kBlockFrames; ++i) {
    const float raw = recordedAt(first + i);
    recorded += double(raw) * raw;
    processed += double(micBlock_[i]) * micBlock_[i];
  }
  const float mix = doubleTalk_.update({recorded / kBlockFrames, processed / kBlockFrames, referenceEnergy},
                                       delay_.delayMs());
  for (uint32_t i = 0; i < kBlockFrames; ++i) {
    if (first + i < 0) continue;
    const float share = mix_ + (mix - mix_) * float(i + 1) / kBlockFrames;
    const float raw = recordedAt(first + i);
    micRing_[(first + i) % kRing] = micBlock_[i] + share * (raw - micBlock_[i]);
  }
  mix_ = mix;
}

}  // namespace orvane
