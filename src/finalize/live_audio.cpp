// The live audio's thread, its chunks and what it says when the host falls
// behind or goes.
#include "finalize/live_audio.h"

#include <pthread.h>

#include <chrono>
#include <cstring>
#include <system_error>
#include <vector>

#include "events/output.h"
#include "finalize/drift.h"
#include "platform/audio/audio_converter.h"
#include "platform/audio/pcm_quantize.h"

namespace orvane {
namespace {

constexpr double kRate = 48000;
constexpr uint32_t kChunkFrames = 8192;  // the interleave's largest chunk
// How often it looks for new frames: the track's writer appends every
// quarter second, so this adds little to the latency and costs little.
constexpr auto kPoll = std::chrono::milliseconds(50);
// How long the stop waits for the host to take the end of a chunk it began.
constexpr double kTailSeconds = 0.5;
constexpr size_t kHeaderBytes = 16;
constexpr uint32_t kDroppedFlag = 1;

void putLittleEndian(uint8_t* to, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) to[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

// What the interleave writes, as chunks on the socket: resampled to the live
// rate, quantized as a 16-bit output is, framed, and sent or dropped whole.
class LiveOutput final : public AudioFile {
 public:
  LiveOutput(std::unique_ptr<StreamSocket> socket, int rate) : socket_(std::move(socket)), rate_(rate) {
    if (rate_ == kRate) return;
    const AudioFormat from = AudioFormat::standard(kRate, 1), to = AudioFormat::standard(rate_, 1);
    for (int channel = 0; channel < 2; ++channel) {
      converters_[channel] = AudioConverter::create(from, to);
      converted_[channel] = PcmBuffer::create(to, kChunkFrames);
    }
    mono_ = PcmBuffer::create(from, kChunkFrames);
    live_ = PcmBuffer::create(AudioFormat::standard(rate_, 2), kChunkFrames);
  }

  bool ready() const {
    return rate_ == kRate || (converters_[0] && converters_[1] && converted_[0] && converted_[1] && mono_ && live_);
  }
  bool closed() const { return closed_; }

  const AudioFormat& processingFormat() const override { return format_; }
  int64_t length() const override { return written_; }
  Status read(PcmBuffer&, uint32_t) override { return posixError(EBADF, "the live audio is not read"); }
  Status sync() override { return std::nullopt; }
  Status close() override { return std::nullopt; }

  Status write(const PcmBuffer& chunk) override {
    written_ += chunk.frameLength();
    if (closed_) return std::nullopt;
    if (rate_ == kRate) {
      send(chunk);
      return std::nullopt;
    }
    for (uint32_t channel = 0; channel < 2; ++channel) {
      std::memcpy(mono_->floatChannelData(0), chunk.floatChannelData(channel), chunk.frameLength() * sizeof(float));
      mono_->setFrameLength(chunk.frameLength());
      if (Status error = converters_[channel]->convert(*mono_, *converted_[channel])) return error;
    }
    return sendConverted();
  }

  // The stop: what the resamplers hold, the host's last chunk and an
  // episode of drops not said yet; then the socket closes.
  void finish() {
    if (!closed_ && rate_ != kRate) {
      for (bool more = true; more;) {
        for (int channel = 0; channel < 2; ++channel) converters_[channel]->flush(*converted_[channel]);
        more = converted_[0]->frameLength() == converted_[0]->frameCapacity();
        if (sendConverted()) break;
      }
    }
    sayDrops();
    if (!closed_ && !socket_->drain(kTailSeconds)) diag("live audio: the host did not take the last chunk in time");
    socket_.reset();
    closed_ = true;
  }

  void giveUp(const std::string& why) {
    if (closed_) return;
    sayDrops();
    diag("live audio: " + why + "; the recording goes on without it");
    socket_.reset();
    closed_ = true;
  }

 private:
  Status sendConverted() {
    const uint32_t frames = converted_[0]->frameLength();
    // Both channels' resamplers have taken the same frames in, so give the same out.
    if (converted_[1]->frameLength() != frames) return posixError(EIO, "the live audio's channels came apart");
    for (uint32_t channel = 0; channel < 2; ++channel) {
      std::memcpy(live_->floatChannelData(channel), converted_[channel]->floatChannelData(0), frames * sizeof(float));
    }
    live_->setFrameLength(frames);
    send(*live_);
    return std::nullopt;
  }

  void send(const PcmBuffer& frames) {
    const uint32_t count = frames.frameLength();
    if (count == 0 || closed_) return;
    bytes_.resize(kHeaderBytes + static_cast<size_t>(count) * 4);
    putLittleEndian(bytes_.data(), static_cast<uint64_t>(index_), 8);
    putLittleEndian(bytes_.data() + 8, count, 4);
    putLittleEndian(bytes_.data() + 12, dropped_ > 0 ? kDroppedFlag : 0, 4);
    // Little-endian samples: the byte order of every machine this runs on.
    interleaveToInt16(frames, 0, count, reinterpret_cast<int16_t*>(bytes_.data() + kHeaderBytes));
    index_ += count;
    switch (socket_->send(bytes_.data(), bytes_.size())) {
      case StreamSocket::Sent::whole:
        sayDrops();
        break;
      case StreamSocket::Sent::noRoom:
        if (dropped_ == 0) droppedFrom_ = index_ - count;
        dropped_ += count;
        break;
      case StreamSocket::Sent::closed:
        giveUp("the host closed its socket");
        break;
    }
  }

  // One line per episode of drops, once it is over (or at the end).
  void sayDrops() {
    if (dropped_ == 0) return;
    diag("live audio: the host did not keep up; " + std::to_string(dropped_) + " frames from frame " +
         std::to_string(droppedFrom_) + " dropped");
    dropped_ = 0;
  }

  std::unique_ptr<StreamSocket> socket_;
  const int rate_;
  const AudioFormat format_ = AudioFormat::standard(kRate, 2);
  std::unique_ptr<AudioConverter> converters_[2];
  std::unique_ptr<PcmBuffer> converted_[2];
  std::unique_ptr<PcmBuffer> mono_;  // one channel of the interleave's chunk
  std::unique_ptr<PcmBuffer> live_;  // both channels at the live rate
  std::vector<uint8_t> bytes_;
  int64_t written_ = 0;  // at 48 kHz
  int64_t index_ = 0;    // the next frame's, at the live rate
  int64_t dropped_ = 0;  // in this episode: the next chunk sent carries the flag
  int64_t droppedFrom_ = 0;
  bool closed_ = false;
};

LiveAudio::LiveAudio(std::unique_ptr<StreamSocket> socket, int rate)
    : output_(std::make_unique<LiveOutput>(std::move(socket), rate)) {}

LiveAudio::~LiveAudio() {
  {
    std::lock_guard lock(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void LiveAudio::start(std::optional<std::string> mic, std::optional<std::string> system, Progress progress,
                      bool cancelEcho) {
  micPath_ = std::move(mic);
  systemPath_ = std::move(system);
  progress_ = std::move(progress);
  cancelEcho_ = cancelEcho;
  if (!output_->ready()) return giveUp("no memory for its resampler");
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    giveUp("no thread to be had");
  }
}

void LiveAudio::run() {
  pthread_setname_np(pthread_self(), "live audio");
  std::unique_lock lock(lock_);
  while (!stopping_ && !output_->closed()) {  // a host gone, or tracks it could not read: nothing more to do
    lock.unlock();
    step();
    lock.lock();
    wake_.wait_for(lock, kPoll, [this] { return stopping_; });
  }
}

// As far as both tracks' files go now: the writer appends whole blocks.
void LiveAudio::step() {
  const TrackTimelines now = progress_();
  if (!stream_) {
    // The heads are aligned by each track's start as it stood half a second
    // in, as the output's are: the live audio's frames are the output's.
    if ((micPath_ && !now.mic.headSeconds) || (systemPath_ && !now.system.headSeconds)) return;
    if (!begin(now.mic.headSeconds, now.system.headSeconds)) return;
  }
  stream_->follow(0, provisionalRatio(now.mic, kRate), provisionalRatio(now.system, kRate));
  if (Status error = stream_->advance(*output_, INT64_MAX)) giveUp(error->description);
}

bool LiveAudio::begin(std::optional<double> micStart, std::optional<double> systemStart) {
  stream_ = std::make_unique<InterleaveStream>(TrackSource::of(micPath_, micStart),
                                               TrackSource::of(systemPath_, systemStart), true,
                                               outcome_, cancelEcho_);
  if (!stream_->ready() || (micPath_ && outcome_.mic != TrackRead::clean) ||
      (systemPath_ && outcome_.system != TrackRead::clean)) {
    giveUp("the tracks could not be read");
    return false;
  }
  stream_->plan(micStart, systemStart);
  return true;
}

void LiveAudio::giveUp(const std::string& why) {
  stream_.reset();
  output_->giveUp(why);
}

void LiveAudio::end(const std::optional<TrackSource>& mic, const std::optional<TrackSource>& system,
                    std::optional<int64_t> micFrames, std::optional<int64_t> systemFrames, double micRatio,
                    double systemRatio) {
  {
    std::lock_guard lock(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (output_->closed()) return;
  // A recording shorter than half a second: all of it now.
  auto start = [](const std::optional<TrackSource>& track) { return track ? track->startSeconds : std::nullopt; };
  if (!stream_ && !begin(start(mic), start(system))) return;
  stream_->end(micFrames, systemFrames, micRatio, systemRatio);
  if (Status error = stream_->advance(*output_, INT64_MAX)) return giveUp(error->description);
  stream_.reset();
  output_->finish();
}

}  // namespace orvane
