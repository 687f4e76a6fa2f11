// The interleave of the two mono tracks into the stereo output file: the head
// of the track that started first on its own, then both side by side,
// microphone on channel 0 and system audio on channel 1. Memory stays bounded
// whatever the length: one 8192-frame buffer per input and one stereo chunk,
// allocated before the first write and reused for every write. A long AAC
// output from ended tracks is encoded on all cores instead (parallel_encode.h).
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <tuple>
#include <utility>

#include "finalize/interleave.h"

#include "events/output.h"
#include "finalize/echo_canceller.h"
#include "finalize/head_align.h"
#include "finalize/parallel_encode.h"
#include "finalize/span_resampler.h"
#include "finalize/speech_timeline.h"
#include "platform/audio/audio_converter.h"
#include "platform/audio/pcm_buffer.h"
#include "platform/files/caf_reader.h"

namespace orvane {
namespace {

constexpr uint32_t kChunkFrames = 8192;
constexpr uint32_t kMicChannel = 0;
constexpr uint32_t kSystemChannel = 1;
constexpr double kOutputRate = 48000;

// One input track as the interleave streams it. A track that returns no
// frames once, at its end or on a read error, is never read again.
class TrackInput {
 public:
  TrackInput(const char* label, TrackRead& outcome) : label_(label), outcome_(outcome) {
    outcome_ = TrackRead::notOpened;
  }

  // A missing file is an absent track and says nothing; a file that is there
  // but cannot be opened is a failure, since its audio will be missing. A
  // `growing` track, one still being recorded, is read only in the track
  // format, up to the frames set by follow().
  void open(const std::string& path, bool growing = false) {
    std::error_code ignored;
    // An empty file is a track that a failed start created and never filled.
    if (!std::filesystem::exists(path, ignored) || std::filesystem::file_size(path, ignored) == 0) {
      outcome_ = TrackRead::missing;
      return;
    }
    auto opened = openCafForReading(path, growing);
    if (growing && opened && (*opened)->processingFormat() != trackFormat()) {
      opened = posixError(EINVAL, "the track is not in the track format");
    }
    if (!opened) {
      fail("interleave: " + std::string(label_) + " track could not be opened: " + opened.error().description);
      return;
    }
    file_ = std::move(*opened);
    path_ = path;
    if (growing) makeResampler();
    const AudioFormat& format = file_->processingFormat();
    if (format != trackFormat() && !openConverter(format)) return;
    buffer_ = PcmBuffer::create(format, kChunkFrames);
    if (!buffer_) {
      fail("interleave: no memory to read the " + std::string(label_) + " track");
      return;
    }
    outcome_ = TrackRead::clean;
  }

  bool opened() const { return file_ != nullptr; }
  // Why the track failed, when it did.
  const std::string& failure() const { return failure_; }
  // Where the track lies on the output timeline, before anything was read from it.
  TimelineTrack placed(int64_t offset) const {
    if (!live()) return {};
    if (!drift_ || !drift_->length()) return {path_, offset, file_->length()};
    return {path_, offset, *drift_->length(), ratio_};
  }
  // An ended track in the track format, corrected by `ratio` (1: none) to its end.
  void correct(double ratio) {
    if (ratio == 1.0 || !live() || converter_ || drift_) return;
    if (!makeResampler()) return;
    ratio_ = ratio;
    drift_->end(file_->length(), ratio);
  }
  bool live() const { return buffer_ && !exhausted_; }
  // Frames that may be read now: all of them once the track has ended.
  int64_t available() const {
    if (!live()) return 0;
    return drift_ ? drift_->available(limit_) : limit_ - position_;
  }
  // A growing track: readable up to `lagFrames` short of what its file holds
  // now, so that no frame the writer is still putting down is read, and
  // corrected by `ratio` from here on (none yet: nothing is made).
  void follow(int64_t lagFrames, std::optional<double> ratio) {
    limit_ = std::max(position_, file_->length() - lagFrames);
    if (drift_ && ratio) drift_->setRatio(*ratio);
  }
  // The track has ended at `frames` (what the ordinary reader finds in it);
  // a growing one is corrected by `ratio` to its end, and from its first span
  // made more than `tolerance` frames from where `ratio` puts them.
  void endAt(int64_t frames, double ratio, double tolerance) {
    limit_ = frames;
    if (drift_) drift_->end(frames, ratio, drift_->firstMisplaced(ratio, tolerance));
  }
  // A growing track: the next read makes its frame `frame` again.
  void rewind(int64_t frame) {
    if (!drift_ || !buffer_) return;
    drift_->rewind(frame);
    exhausted_ = false;
  }
  SpanResampler* drift() const { return drift_.get(); }
  bool converting() const { return converter_ != nullptr; }
  const float* samples() const { return (converter_ || drift_ ? out_ : buffer_)->floatChannelData(0); }

  // Reads up to `frames` frames; 0 means the track has ended for good.
  uint32_t read(uint32_t frames) {
    if (!live()) return 0;
    frames = static_cast<uint32_t>(std::min<int64_t>(frames, available()));
    if (drift_) {
      const uint32_t made = drift_->read(out_->floatChannelData(0), frames);
      if (made == 0) exhausted_ = true;
      return made;
    }
    const uint32_t got = converter_ ? readConverted(frames) : readDirect(frames);
    if (got == 0) exhausted_ = true;
    position_ += got;
    return got;
  }

 private:
  static const AudioFormat& trackFormat() {
    static const AudioFormat mono = AudioFormat::standard(kOutputRate, 1);
    return mono;
  }

  // A track at another rate or with more channels (one a recovery found) is
  // converted, not played at the wrong speed.
  bool openConverter(const AudioFormat& format) {
    converter_ = AudioConverter::create(format, trackFormat());
    converted_ = PcmBuffer::create(trackFormat(), kChunkFrames);
    out_ = PcmBuffer::create(trackFormat(), kChunkFrames);
    if (!converter_ || !converted_ || !out_) {
      fail("interleave: the " + std::string(label_) + " track's format " + format.describe() + " cannot be converted");
      file_.reset();
      return false;
    }
    diag("interleave: " + std::string(label_) + " track is " + format.describe() + "; converted to " +
         trackFormat().describe());
    return true;
  }

  bool makeResampler() {
    drift_ = std::make_unique<SpanResampler>([this](float* into, uint32_t frames) { return fetch(into, frames); },
                                             [this](int64_t frame) { return seekSource(frame); });
    out_ = PcmBuffer::create(trackFormat(), kChunkFrames);
    if (out_) return true;
    fail("interleave: no memory to correct the " + std::string(label_) + " track");
    drift_.reset();
    return false;
  }

  // The corrector's source: the file's frames in order, as far as allowed.
  uint32_t fetch(float* into, uint32_t frames) {
    frames = static_cast<uint32_t>(std::min<int64_t>(frames, limit_ - position_));
    if (frames == 0 || exhausted_) return 0;
    const uint32_t got = readDirect(frames);
    if (got > 0) std::memcpy(into, buffer_->floatChannelData(0), got * sizeof(float));
    position_ += got;
    return got;
  }

  bool seekSource(int64_t frame) {
    if (Status error = file_->seek(frame)) return readFailed(*error) > 0;
    position_ = frame;
    return true;
  }

  uint32_t readDirect(uint32_t frames) {
    if (Status error = file_->read(*buffer_, frames)) return readFailed(*error);
    return buffer_->frameLength();
  }

  // Fills `frames` converted frames (fewer only at the end), converting a
  // chunk of the file whenever the converted ones run out: both tracks must
  // give whole chunks, or the interleave would pad the short one with silence.
  uint32_t readConverted(uint32_t frames) {
    uint32_t filled = 0;
    while (filled < frames) {
      if (next_ >= converted_->frameLength() && !refill()) break;
      const uint32_t count = std::min(frames - filled, converted_->frameLength() - next_);
      std::memcpy(out_->floatChannelData(0) + filled, converted_->floatChannelData(0) + next_, count * sizeof(float));
      next_ += count;
      filled += count;
    }
    return filled;
  }

  bool refill() {
    next_ = 0;
    while (!inputEnded_) {
      if (converter_->convertHeld(*converted_)) return false;
      if (converted_->frameLength() > 0) return true;
      if (Status error = file_->read(*buffer_, kChunkFrames)) return readFailed(*error) > 0;
      if (buffer_->frameLength() == 0) break;
      if (converter_->convert(*buffer_, *converted_)) return false;
      if (converted_->frameLength() > 0) return true;
    }
    inputEnded_ = true;
    converter_->flush(*converted_);
    return converted_->frameLength() > 0;
  }

  uint32_t readFailed(const Error& error) {
    fail("interleave: " + std::string(label_) + " track read failed at frame " + std::to_string(position_) + ": " +
         error.description);
    exhausted_ = true;
    return 0;
  }

  void fail(const std::string& line) {
    diag(line);
    failure_ = line;
    outcome_ = TrackRead::failed;
  }

  const char* label_;
  TrackRead& outcome_;
  std::shared_ptr<AudioFile> file_;
  std::string path_;
  std::string failure_;
  std::unique_ptr<PcmBuffer> buffer_;  // the file's own format
  std::unique_ptr<AudioConverter> converter_;
  std::unique_ptr<SpanResampler> drift_;  // growing tracks: made through it, corrected or not
  std::unique_ptr<PcmBuffer> converted_;  // track format, served from next_ on
  std::unique_ptr<PcmBuffer> out_;        // what the last read returned, when converted or corrected
  uint32_t next_ = 0;
  bool inputEnded_ = false;
  bool exhausted_ = false;
  int64_t position_ = 0;  // frames read so far
  int64_t limit_ = INT64_MAX;
  double ratio_ = 1;  // an ended track's correction
};

// Fills the first `total` frames of one chunk channel: `count` samples from
// `from`, silence after them.
void fillChannel(PcmBuffer& chunk, uint32_t channel, const float* from, uint32_t count, uint32_t total) {
  float* to = chunk.floatChannelData(channel);
  if (count > 0) std::memcpy(to, from, count * sizeof(float));
  std::fill(to + count, to + total, 0.0f);
}

// The canceller for a recording made with voice processing, when both tracks
// are there to give the microphone and its reference; nothing otherwise.
std::unique_ptr<EchoCanceller> echoCancellerFor(bool cancelEcho, const TrackInput& mic, const TrackInput& sys) {
  if (!cancelEcho || !mic.opened() || !sys.opened()) return nullptr;
  auto canceller = EchoCanceller::create();
  if (!canceller) {
    diag("voice processing unavailable: " + canceller.error().description);
    return nullptr;
  }
  return std::move(canceller.value());
}

// The tracks on the output timeline as the lead and the side-by-side pass
// below place them: the lead track from frame 0, the other after the lead,
// which ends early when its track does.
std::array<TimelineTrack, 2> placeTracks(const TrackInput& mic, const TrackInput& sys, const HeadAlignment& plan) {
  const TrackInput& leader = plan.source == LeadSource::mic ? mic : sys;
  const int64_t lead = plan.source == LeadSource::none ? 0 : std::min(plan.frames, leader.placed(0).frames);
  return {mic.placed(plan.source == LeadSource::system ? lead : 0),
          sys.placed(plan.source == LeadSource::mic ? lead : 0)};
}

Error shortRead() { return posixError(EIO, "a track being recorded read short"); }

}  // namespace

struct InterleaveStream::Inputs {
  explicit Inputs(InterleaveOutcome& outcome) : mic("mic", outcome.mic), sys("system", outcome.system) {}
  TrackInput mic;
  TrackInput sys;
  std::unique_ptr<PcmBuffer> chunk = PcmBuffer::create(AudioFormat::standard(kOutputRate, 2), kChunkFrames);
  HeadAlignment plan;
  int64_t leadLeft = 0;
  std::unique_ptr<EchoCanceller> canceller;
  std::unique_ptr<SpeechTimeline> speech;
  int64_t heard = 0;  // output frames the speech timeline was given (after a rewind, given again from there)
};

InterleaveStream::InterleaveStream(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system,
                                   bool growing, InterleaveOutcome& outcome, bool cancelEcho, bool speech)
    : in_(std::make_unique<Inputs>(outcome)), growing_(growing) {
  if (mic) in_->mic.open(mic->path, growing);
  if (system) in_->sys.open(system->path, growing);
  in_->canceller = echoCancellerFor(cancelEcho, in_->mic, in_->sys);
  if (speech) in_->speech = std::make_unique<SpeechTimeline>();
}

InterleaveStream::~InterleaveStream() = default;

bool InterleaveStream::ready() const { return in_->chunk != nullptr; }
const SpeechTimeline* InterleaveStream::speech() const { return in_->speech.get(); }
bool InterleaveStream::bothOpened() const { return in_->mic.opened() && in_->sys.opened(); }

const HeadAlignment& InterleaveStream::plan(std::optional<double> micStart, std::optional<double> systemStart) {
  if (bothOpened()) in_->plan = planHeadAlignment(micStart, systemStart, kOutputRate);
  in_->leadLeft = in_->plan.source == LeadSource::none ? 0 : in_->plan.frames;
  return in_->plan;
}

void InterleaveStream::correct(double micRatio, double systemRatio) {
  in_->mic.correct(micRatio);
  in_->sys.correct(systemRatio);
}

void InterleaveStream::follow(int64_t lagFrames, std::optional<double> micRatio, std::optional<double> systemRatio) {
  if (in_->mic.live()) in_->mic.follow(lagFrames, micRatio);
  if (in_->sys.live()) in_->sys.follow(lagFrames, systemRatio);
}

int64_t InterleaveStream::available() const {
  if (in_->leadLeft > 0) return (in_->plan.source == LeadSource::mic ? in_->mic : in_->sys).available();
  int64_t frames = INT64_MAX;
  for (const TrackInput* track : {&in_->mic, &in_->sys}) {
    if (track->live()) frames = std::min(frames, track->available());
  }
  return frames == INT64_MAX ? 0 : frames;
}

std::optional<int64_t> InterleaveStream::firstMisplaced(double micRatio, double systemRatio,
                                                        double tolerance) const {
  std::optional<int64_t> first;
  const std::array<int64_t, 2> offsets = trackOffsets();
  for (auto [track, ratio, offset] : {std::tuple{&in_->mic, micRatio, offsets[0]},
                                      std::tuple{&in_->sys, systemRatio, offsets[1]}}) {
    std::optional<int64_t> frame = track->drift() ? track->drift()->firstMisplaced(ratio, tolerance) : std::nullopt;
    if (frame && (!first || *frame + offset < *first)) first = *frame + offset;
  }
  return first;
}

// Output frame of each track's first frame: the one that does not lead follows the lead.
std::array<int64_t, 2> InterleaveStream::trackOffsets() const {
  const HeadAlignment& plan = in_->plan;
  return {plan.source == LeadSource::system ? plan.frames : 0, plan.source == LeadSource::mic ? plan.frames : 0};
}

void InterleaveStream::end(std::optional<int64_t> micFrames, std::optional<int64_t> systemFrames, double micRatio,
                           double systemRatio, double redoTolerance) {
  growing_ = false;
  if (in_->mic.live()) in_->mic.endAt(micFrames.value_or(INT64_MAX), micRatio, redoTolerance);
  if (in_->sys.live()) in_->sys.endAt(systemFrames.value_or(INT64_MAX), systemRatio, redoTolerance);
}

void InterleaveStream::rewind(int64_t frame) {
  in_->heard = frame;
  const std::array<int64_t, 2> offsets = trackOffsets();
  in_->leadLeft = in_->plan.source == LeadSource::none ? 0 : std::max<int64_t>(0, in_->plan.frames - frame);
  in_->mic.rewind(std::max<int64_t>(0, frame - offsets[0]));
  in_->sys.rewind(std::max<int64_t>(0, frame - offsets[1]));
}

std::optional<Result<int64_t>> InterleaveStream::encodeInParallel(AudioFile& output, const AudioSettings& settings,
                                                                  const std::string& outputPath) {
  // The parallel encode reads the files itself, so only tracks already in
  // the track format take it.
  if (settings.formatId != AudioFormatId::mpeg4AAC || in_->mic.converting() || in_->sys.converting() ||
      in_->canceller || in_->speech) {
    return {};
  }
  return encodeAacInParallel(output, settings, outputPath, placeTracks(in_->mic, in_->sys, in_->plan));
}

// The speech timeline hears the chunk's first `frames` frames before a
// canceller takes the echo out: the microphone as recorded, whose echo the
// timeline tells apart itself (the suppressor also cuts the first words of a
// near speaker over the far end), and the system audio, on the output's
// timeline (the canceller gives its frames out in step with those it took).
void InterleaveStream::hear(uint32_t frames) {
  if (in_->speech) {
    const std::optional<double> delayMs = in_->canceller ? in_->canceller->echoDelayMs() : std::nullopt;
    in_->speech->add(in_->chunk->floatChannelData(kMicChannel), in_->chunk->floatChannelData(kSystemChannel), frames,
                     in_->heard, delayMs);
  }
  in_->heard += frames;
}

// The lead: frames of the track that started first on its own channel, the
// other channel silent; it stops early when the lead track ends.
Status InterleaveStream::writeLead(AudioFile& output, int64_t& budget) {
  const bool micLeads = in_->plan.source == LeadSource::mic;
  TrackInput& lead = micLeads ? in_->mic : in_->sys;
  const uint32_t channel = micLeads ? kMicChannel : kSystemChannel;
  PcmBuffer& chunk = *in_->chunk;
  while (in_->leadLeft > 0 && budget > 0) {
    int64_t want = std::min<int64_t>({in_->leadLeft, kChunkFrames, budget});
    if (growing_) want = std::min(want, lead.available());
    if (want == 0) return std::nullopt;
    const uint32_t got = lead.read(static_cast<uint32_t>(want));
    if (growing_ && got < want) return shortRead();
    if (got == 0) {
      in_->leadLeft = 0;
      break;
    }
    fillChannel(chunk, channel, lead.samples(), got, got);
    fillChannel(chunk, channel == kMicChannel ? kSystemChannel : kMicChannel, nullptr, 0, got);
    chunk.setFrameLength(got);
    hear(got);
    if (Status error = output.write(chunk)) return error;
    in_->leadLeft -= got;
    budget -= got;
  }
  return std::nullopt;
}

// Both tracks side by side; once they have ended, the shorter one is
// continued as silence until both are done. With a canceller, each chunk
// goes through it: the microphone and the system audio of the same moments.
Status InterleaveStream::writeBoth(AudioFile& output, int64_t& budget) {
  TrackInput& mic = in_->mic;
  TrackInput& sys = in_->sys;
  PcmBuffer& chunk = *in_->chunk;
  while (budget > 0) {
    int64_t want = std::min<int64_t>(kChunkFrames, budget);
    const bool micLive = mic.live(), sysLive = sys.live();
    if (growing_) {
      if (micLive) want = std::min(want, mic.available());
      if (sysLive) want = std::min(want, sys.available());
      if (want == 0 || (!micLive && !sysLive)) return std::nullopt;
    }
    const uint32_t micFrames = mic.read(static_cast<uint32_t>(want));
    const uint32_t sysFrames = sys.read(static_cast<uint32_t>(want));
    if (growing_ && ((micLive && micFrames < want) || (sysLive && sysFrames < want))) return shortRead();
    uint32_t frames = std::max(micFrames, sysFrames);
    fillChannel(chunk, kMicChannel, micFrames ? mic.samples() : nullptr, micFrames, frames);
    fillChannel(chunk, kSystemChannel, sysFrames ? sys.samples() : nullptr, sysFrames, frames);
    hear(frames);
    if (in_->canceller) frames = cancelEcho(frames, static_cast<uint32_t>(std::min<int64_t>(kChunkFrames, budget)));
    if (frames == 0 && micFrames == 0 && sysFrames == 0) return std::nullopt;
    chunk.setFrameLength(frames);
    if (frames > 0) {
      if (Status error = output.write(chunk)) return error;
    }
    budget -= frames;
  }
  return std::nullopt;
}

Status InterleaveStream::lostAudio(const std::optional<TrackSource>& micSource,
                                   const std::optional<TrackSource>& systemSource) const {
  for (const auto& [source, input] : {std::pair{&micSource, &in_->mic}, std::pair{&systemSource, &in_->sys}}) {
    if (*source && (*source)->holdsAudio && !input->failure().empty()) {
      return posixError(EIO, input->failure() + "; the temporary tracks are kept");
    }
  }
  return std::nullopt;
}

// The chunk's `frames` frames through the canceller, or once the tracks have
// ended (none), what it still holds; returns the frames now in the chunk.
uint32_t InterleaveStream::cancelEcho(uint32_t frames, uint32_t capacity) {
  float* mic = in_->chunk->floatChannelData(kMicChannel);
  float* system = in_->chunk->floatChannelData(kSystemChannel);
  if (frames == 0) return in_->canceller->drain(mic, system, capacity);
  return in_->canceller->process(mic, system, frames, mic, system, capacity);
}

Status InterleaveStream::advance(AudioFile& output, int64_t maxFrames) {
  int64_t budget = maxFrames;
  if (Status error = writeLead(output, budget)) return error;
  if (in_->leadLeft > 0) return std::nullopt;
  return writeBoth(output, budget);
}

AudioSettings outputSettings(bool linearPCM) {
  AudioSettings settings = linearPCM16Settings(kOutputRate, 2);
  // Bit depth and byte order only mean something for linear PCM; the AAC
  // encoder keeps its own defaults.
  if (!linearPCM) settings.formatId = AudioFormatId::mpeg4AAC;
  return settings;
}

}  // namespace orvane
