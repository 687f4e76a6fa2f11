// The interleave of the two mono tracks into the stereo output file: the head
// of the track that started first on its own, then both side by side,
// microphone on channel 0 and system audio on channel 1. Memory stays bounded
// whatever the length: one 8192-frame buffer per input and one stereo chunk,
// allocated before the first write and reused for every write. A long AAC
// output is encoded on all cores instead (parallel_encode.h).
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "finalize/interleave.h"

#include "events/output.h"
#include "finalize/echo_canceller.h"
#include "finalize/head_align.h"
#include "finalize/parallel_encode.h"
#include "platform/audio/audio_converter.h"
#include "platform/audio/pcm_buffer.h"
#include "platform/files/private_file.h"

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
  // but cannot be opened is a failure, since its audio will be missing.
  void open(const std::string& path) {
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) {
      outcome_ = TrackRead::missing;
      return;
    }
    auto opened = AudioFile::openForReading(path);
    if (!opened) {
      fail("interleave: " + std::string(label_) + " track could not be opened: " + opened.error().description);
      return;
    }
    file_ = std::move(*opened);
    path_ = path;
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
  // Where the track lies on the output timeline, before anything was read from it.
  TimelineTrack placed(int64_t offset) const {
    return live() ? TimelineTrack{path_, offset, file_->length()} : TimelineTrack{};
  }
  bool live() const { return buffer_ && !exhausted_; }
  bool converting() const { return converter_ != nullptr; }
  const float* samples() const { return (converter_ ? out_ : buffer_)->floatChannelData(0); }

  // Reads up to `frames` frames; 0 means the track has ended for good.
  uint32_t read(uint32_t frames) {
    if (!live()) return 0;
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
    outcome_ = TrackRead::failed;
  }

  const char* label_;
  TrackRead& outcome_;
  std::shared_ptr<AudioFile> file_;
  std::string path_;
  std::unique_ptr<PcmBuffer> buffer_;  // the file's own format
  std::unique_ptr<AudioConverter> converter_;
  std::unique_ptr<PcmBuffer> converted_;  // track format, served from next_ on
  std::unique_ptr<PcmBuffer> out_;        // what the last read returned
  uint32_t next_ = 0;
  bool inputEnded_ = false;
  bool exhausted_ = false;
  int64_t position_ = 0;  // frames read so far
};

// Fills the first `total` frames of one chunk channel: `count` samples from
// `from`, silence after them.
void fillChannel(PcmBuffer& chunk, uint32_t channel, const float* from, uint32_t count, uint32_t total) {
  float* to = chunk.floatChannelData(channel);
  if (count > 0) std::memcpy(to, from, count * sizeof(float));
  std::fill(to + count, to + total, 0.0f);
}

// The lead: `frames` frames of the track that started first, on its own
// channel, the other channel silent. Stops early when the lead track ends.
Status writeLead(TrackInput& lead, uint32_t channel, int64_t frames, PcmBuffer& chunk, AudioFile& output) {
  const uint32_t otherChannel = channel == kMicChannel ? kSystemChannel : kMicChannel;
  for (int64_t remaining = frames; remaining > 0;) {
    const uint32_t got = lead.read(static_cast<uint32_t>(std::min<int64_t>(remaining, kChunkFrames)));
    if (got == 0) break;
    fillChannel(chunk, channel, lead.samples(), got, got);
    fillChannel(chunk, otherChannel, nullptr, 0, got);
    chunk.setFrameLength(got);
    if (Status error = output.write(chunk)) return error;
    remaining -= got;
  }
  return std::nullopt;
}

// Both tracks side by side until both have ended; the shorter one is
// continued as silence. With a canceller, the chunk goes through it: the
// microphone and the system audio of the same moments, in step.
Status writeBoth(TrackInput& mic, TrackInput& sys, PcmBuffer& chunk, AudioFile& output, EchoCanceller* canceller) {
  float* micChannel = chunk.floatChannelData(kMicChannel);
  float* sysChannel = chunk.floatChannelData(kSystemChannel);
  for (;;) {
    const uint32_t micFrames = mic.read(kChunkFrames);
    const uint32_t sysFrames = sys.read(kChunkFrames);
    uint32_t frames = std::max(micFrames, sysFrames);
    if (frames == 0 && !canceller) return std::nullopt;
    fillChannel(chunk, kMicChannel, micFrames ? mic.samples() : nullptr, micFrames, frames);
    fillChannel(chunk, kSystemChannel, sysFrames ? sys.samples() : nullptr, sysFrames, frames);
    if (canceller) {
      frames = frames ? canceller->process(micChannel, sysChannel, frames, micChannel, sysChannel, kChunkFrames)
                      : canceller->drain(micChannel, sysChannel, kChunkFrames);
      if (frames == 0 && micFrames == 0 && sysFrames == 0) return std::nullopt;
    }
    chunk.setFrameLength(frames);
    if (frames > 0) {
      if (Status error = output.write(chunk)) return error;
    }
  }
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

}  // namespace

AudioSettings outputSettings(bool linearPCM) {
  AudioSettings settings = linearPCM16Settings(kOutputRate, 2);
  // Bit depth and byte order only mean something for linear PCM; the AAC
  // encoder keeps its own defaults.
  if (!linearPCM) settings.formatId = AudioFormatId::mpeg4AAC;
  return settings;
}

Result<int64_t> interleaveTracks(const std::optional<TrackSource>& micSource,
                                 const std::optional<TrackSource>& systemSource, const std::string& outputPath,
                                 const AudioSettings& settings, InterleaveOutcome& outcome, bool cancelEcho) {
  auto created = AudioFile::createForWriting(outputPath, settings);
  if (!created) return created.error();
  AudioFile& output = **created;

  TrackInput mic("mic", outcome.mic);
  TrackInput sys("system", outcome.system);
  if (micSource) mic.open(micSource->path);
  if (systemSource) sys.open(systemSource->path);

  // A missing chunk would silently cut the recording short, so it is an error.
  auto chunk = PcmBuffer::create(AudioFormat::standard(kOutputRate, 2), kChunkFrames);
  if (!chunk) return posixError(ENOMEM, "cannot allocate the output chunk for " + outputPath);

  HeadAlignment plan;
  if (mic.opened() && sys.opened()) {
    plan = planHeadAlignment(micSource->startSeconds, systemSource->startSeconds, kOutputRate);
    if (!plan.diagnostic.empty()) diag(plan.diagnostic);
  }
  std::unique_ptr<EchoCanceller> canceller = echoCancellerFor(cancelEcho, mic, sys);
  // The parallel encode reads the files itself, so only tracks already in
  // the track format, and with no echo to take out, take it.
  std::optional<Result<int64_t>> parallel;
  if (settings.formatId == AudioFormatId::mpeg4AAC && !mic.converting() && !sys.converting() && !canceller) {
    parallel = encodeAacInParallel(output, settings, outputPath, placeTracks(mic, sys, plan));
  }
  if (parallel && !*parallel) return parallel->error();
  if (!parallel) {
    Status leadError;
    if (plan.source == LeadSource::mic) leadError = writeLead(mic, kMicChannel, plan.frames, *chunk, output);
    if (plan.source == LeadSource::system) leadError = writeLead(sys, kSystemChannel, plan.frames, *chunk, output);
    if (leadError) return *leadError;
    if (Status error = writeBoth(mic, sys, *chunk, output, canceller.get())) return *error;
  }
  const int64_t frames = parallel ? parallel->value() : output.length();
  // The encoder's last frames and the container's index are written here: a
  // failure now leaves an output that no player opens. Only an output that
  // is on storage may let the temporary tracks go.
  if (Status error = output.close()) return *error;
  if (Status error = syncToStorage(outputPath)) return *error;
  return frames;
}

}  // namespace orvane
