// The speech detector on the output's channels and its spans.
#include "finalize/speech_timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orvane {
namespace {

// A block quieter than this (-70 dBFS) is no speech, whatever the floor.
constexpr double kQuietEnergy = 1e-7;
// Digital silence (a gap, a pause filled in, nothing played) says nothing of
// the noise floor.
constexpr double kSilentEnergy = 1e-12;
// Speech stands this far above the noise floor.
constexpr double kAboveFloorDb = 10;
// The floor follows a quieter block at once (most of the way), a louder one
// slowly: speech lifts it by 2 dB a second at most and each pause between
// words brings it back.
constexpr double kFloorDownShare = 0.5;
constexpr double kFloorRiseDb = 0.02;
// The microphone is near speech when this far above the echo predicted.
constexpr double kAboveEchoDb = 10;
// The echo comes from the far end around the path's delay: a few blocks
// either side, as the path jitters (PipeWire's loopback by tens of ms), the
// delay found may be a block off, and a room's tail follows.
// Before a delay is found, from any lag up to half a second.
constexpr int kBeforeBlocks = 3, kAfterBlocks = 5, kUnknownDelayBlocks = 50;
// The echo's gain is the quantile of the microphone against that far end,
// over the blocks where the far end plays and no near speech is found, that
// these steps settle on, from 0 dB (an echo as loud as the far end: nothing
// is taken for near speech over the far end before the echo is learnt, a few
// seconds). Around the delay a quarter of the blocks lie below it: the echo's
// own spread is narrow there. Before the delay is known, the loudest block of
// half a second stands far above most blocks' echo, and the echo's top is the
// quantile three quarters of them lie below.
struct GainSteps {
  double down, up;
};
constexpr GainSteps kAlignedSteps{0.3, 0.1}, kUnalignedSteps{0.1, 0.3};
// A block taken for near speech tells little of the echo and moves the gain
// up by this much only: seconds of both speaking hardly lift it, and an echo
// path that grew louder by more than the margin is still learnt (at 1 dB a
// second) instead of being taken for near speech for good.
constexpr double kGainUnderSpeechDb = 0.01;
// The far end plays (its echo can be learnt) this far above its floor.
constexpr double kFarPlaysDb = 10;
// Speech blocks up to 300 ms apart are one span (the pauses between words of
// a sentence); a span needs 80 ms of speech.
constexpr int kGapBlocks = 30;
constexpr int kMinSpeechBlocks = 8;

double dB(double energy) { return 10 * std::log10(energy + 1e-30); }

void appendSpans(std::string& text, const SpeechTimeline::Seconds& spans) {
  text += '[';
  char span[64];
  for (size_t i = 0; i < spans.size(); ++i) {
    std::snprintf(span, sizeof span, "%s[%.3f, %.3f]", i ? ", " : "", spans[i].first, spans[i].second);
    text += span;
  }
  text += ']';
}

SpeechTimeline::Seconds inSeconds(const std::vector<SpeechSpans::Span>& spans) {
  SpeechTimeline::Seconds seconds;
  constexpr double kBlockSeconds = SpeechTimeline::kBlockFrames / SpeechTimeline::kRate;
  for (const auto& [first, end] : spans) seconds.emplace_back(first * kBlockSeconds, end * kBlockSeconds);
  return seconds;
}

}  // namespace

void SpeechSpans::add(int64_t block, bool speech) {
  if (!speech) return;
  if (open_ && block - open_->second < gap_) {
    open_->second = block + 1;
    ++speech_;
    return;
  }
  if (open_ && kept()) closed_.push_back(*open_);
  open_ = Span{block, block + 1};
  speech_ = 1;
}

std::vector<SpeechSpans::Span> SpeechSpans::spans() const {
  std::vector<Span> all = closed_;
  if (open_ && kept()) all.push_back(*open_);
  return all;
}

void SpeechTimeline::Floor::follow(double energy) {
  if (energy < kSilentEnergy) return;
  const double level = dB(energy);
  if (!db) db = level;
  else if (level < *db) *db += kFloorDownShare * (level - *db);
  else *db += std::min(kFloorRiseDb, level - *db);
}

bool SpeechTimeline::Floor::above(double energy) const {
  return energy > kQuietEnergy && (!db || dB(energy) > *db + kAboveFloorDb);
}

SpeechTimeline::SpeechTimeline() : mic_(kGapBlocks, kMinSpeechBlocks), system_(kGapBlocks, kMinSpeechBlocks) {}

void SpeechTimeline::add(const float* mic, const float* system, uint32_t frames, int64_t first,
                         std::optional<double> echoDelayMs) {
  // Frames made again after a rewind lie at most milliseconds from where
  // they were first: what was told of them stands.
  const int64_t skip = std::clamp<int64_t>(seen_ - first, 0, frames);
  mic += skip;
  system += skip;
  frames -= static_cast<uint32_t>(skip);
  if (!echoDelayMs) delay_.add(mic, system, frames);
  for (uint32_t i = 0; i < frames; ++i) {
    micSum_ += double(mic[i]) * mic[i];
    systemSum_ += double(system[i]) * system[i];
    if (++fill_ == kBlockFrames) endBlock(echoDelayMs ? echoDelayMs : delay_.delayMs());
  }
  seen_ += frames;
}

void SpeechTimeline::endBlock(std::optional<double> echoDelayMs) {
  const Pending block{micSum_ / kBlockFrames, systemSum_ / kBlockFrames, echoDelayMs};
  micSum_ = systemSum_ = 0;
  fill_ = 0;
  reference_[block_ % kHistoryBlocks] = block.system;
  echoDelayMs_ = echoDelayMs;
  micFloor_.follow(block.mic);
  systemFloor_.follow(block.system);
  if (block_ - toldBlocks_ == kLookaheadBlocks) tell(pending_[toldBlocks_ % kLookaheadBlocks]);
  pending_[block_++ % kLookaheadBlocks] = block;
}

void SpeechTimeline::tell(const Pending& block) {
  system_.add(toldBlocks_, systemFloor_.above(block.system));
  mic_.add(toldBlocks_, micSpeaks(block));
  ++toldBlocks_;
}

SpeechTimeline SpeechTimeline::told() const {
  SpeechTimeline all = *this;
  while (all.toldBlocks_ < all.block_) all.tell(all.pending_[all.toldBlocks_ % kLookaheadBlocks]);
  return all;
}

// The echo path's delay in whole blocks, as the far end is looked up.
std::optional<int> SpeechTimeline::inBlocks(std::optional<double> delayMs) {
  if (!delayMs) return std::nullopt;
  return static_cast<int>(std::lround(*delayMs / 10));
}

// The far end's loudest block from which the microphone may hear its echo in
// `block`.
double SpeechTimeline::farEnd(int64_t block, std::optional<int> delay) const {
  int from = 0, to = kUnknownDelayBlocks;
  if (delay) {
    from = std::max(0, *delay - kBeforeBlocks);
    to = *delay + kAfterBlocks;
  }
  to = std::min<int64_t>(to, block);
  double loudest = 0;
  for (int lag = from; lag <= to; ++lag) loudest = std::max(loudest, reference_[(block - lag) % kHistoryBlocks]);
  return loudest;
}

bool SpeechTimeline::micSpeaks(const Pending& block) {
  if (!micFloor_.above(block.mic)) return false;
  // Heard before any delay was found, the block is held against any lag.
  // When the delay found has moved since, against both delays: the far end
  // of two windows is louder than the echo's own, and the block then says
  // nothing of the echo's gain.
  const std::optional<int> heard = inBlocks(block.echoDelayMs), now = inBlocks(echoDelayMs_);
  const bool aligned = heard.has_value(), moved = aligned && now != heard;
  const double far = moved ? std::max(farEnd(toldBlocks_, heard), farEnd(toldBlocks_, now)) : farEnd(toldBlocks_, heard);
  const bool farPlays = far > kQuietEnergy && (!systemFloor_.db || dB(far) > *systemFloor_.db + kFarPlaysDb);
  if (!farPlays) return true;
  const double againstFar = dB(block.mic) - dB(far);
  double& gain = echoGainDb_[aligned];
  const GainSteps steps = aligned ? kAlignedSteps : kUnalignedSteps;
  const bool speaks = againstFar > gain + kAboveEchoDb;
  if (!moved) gain += speaks ? kGainUnderSpeechDb : againstFar < gain ? -steps.down : steps.up;
  return speaks;
}

SpeechTimeline::Seconds SpeechTimeline::micSpeech() const { return inSeconds(told().mic_.spans()); }
SpeechTimeline::Seconds SpeechTimeline::systemSpeech() const { return inSeconds(told().system_.spans()); }

std::string SpeechTimeline::json() const {
  const SpeechTimeline all = told();
  std::string text = "{\"version\": 1, \"mic\": ";
  appendSpans(text, inSeconds(all.mic_.spans()));
  text += ", \"system\": ";
  appendSpans(text, inSeconds(all.system_.spans()));
  return text + "}\n";
}

}  // namespace orvane
