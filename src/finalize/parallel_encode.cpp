// Segments, their workers and the in-order write. A worker feeds its encoder
// from well before its segment (the pre-roll) to two frames after it and keeps
// only the packets stamped inside the segment: where two segments meet, the
// decoder overlaps two frames encoded from the same audio by encoders that have
// settled into the same state, so no seam is heard. Only the first segment
// keeps the encoder's priming packet, which the container's edit list hides.
// Every worker spills its packets to an unnamed file beside the output; they
// go into the output once all segments are encoded, so a track that reads
// short can still leave the output to the single pass untouched. Each worker
// holds one chunk per track, one stereo chunk and its encoder, whatever the
// length of the recording.
#include "finalize/parallel_encode.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>

#include "finalize/span_resampler.h"
#include "platform/files/aac_file.h"
#include "platform/files/packet_spill.h"

namespace orvane {
namespace {

constexpr uint32_t kChunkFrames = 8192;
constexpr int64_t kAacFrame = 1024;
// The last packet of a segment carries the transform of its last frame and of
// the frame after it, and the encoder picks that packet's window looking one
// frame further ahead: it comes out once two frames past the segment went in.
constexpr int64_t kPostrollFrames = 2 * kAacFrame;
constexpr double kMinSegmentSeconds = 180;

unsigned coreCount() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 0 ? cores : 1;
}

// Reads one track along the timeline, corrected by its ratio; frames outside
// the track are silence.
class TrackCursor {
 public:
  // Opens the track and moves to timeline frame `from`; false when either fails.
  bool open(const TimelineTrack& track, int64_t from) {
    track_ = track;
    if (track.path.empty()) return true;
    auto opened = AudioFile::openForReading(track.path);
    if (!opened) return false;
    file_ = std::move(*opened);
    buffer_ = PcmBuffer::create(file_->processingFormat(), kChunkFrames);
    const int64_t first = std::clamp<int64_t>(from - track.offset, 0, track.frames);
    if (!buffer_ || track.ratio == 1.0) return buffer_ && !file_->seek(first);
    drift_ = std::make_unique<SpanResampler>([this](float* into, uint32_t frames) { return readFile(into, frames); },
                                             [this](int64_t frame) { return !file_->seek(frame); });
    drift_->end(file_->length(), track.ratio);
    drift_->rewind(first);
    return true;
  }

  // Writes timeline frames [first, first + frames) of the track to `into`;
  // false when the track reads fewer frames than its length promised.
  bool fill(float* into, int64_t first, uint32_t frames) {
    const auto begin = static_cast<uint32_t>(std::clamp<int64_t>(track_.offset - first, 0, frames));
    const auto end = static_cast<uint32_t>(std::clamp<int64_t>(track_.offset + track_.frames - first, begin, frames));
    std::fill(into, into + begin, 0.0f);
    if (end > begin) {
      const uint32_t wanted = end - begin;
      const uint32_t got = drift_ ? drift_->read(into + begin, wanted) : readFile(into + begin, wanted);
      if (got != wanted || readFailed_) return false;
    }
    std::fill(into + end, into + frames, 0.0f);
    return true;
  }

 private:
  uint32_t readFile(float* into, uint32_t frames) {
    if (file_->read(*buffer_, frames)) readFailed_ = true;
    if (readFailed_) return 0;
    std::memcpy(into, buffer_->floatChannelData(0), buffer_->frameLength() * sizeof(float));
    return buffer_->frameLength();
  }

  TimelineTrack track_;
  std::shared_ptr<AudioFile> file_;
  std::unique_ptr<PcmBuffer> buffer_;
  std::unique_ptr<SpanResampler> drift_;
  bool readFailed_ = false;
};

// One segment's worker: what it encodes and how that went.
struct Job {
  Segment segment;
  int64_t from = 0;  // the encoder is fed timeline frames [from, to)
  int64_t to = 0;
  int64_t keepFrom = 0;  // and packets stamped [keepFrom, keepTo) are kept
  int64_t keepTo = 0;
  bool last = false;
  std::unique_ptr<AacEncoder> encoder;
  std::unique_ptr<PacketSpill> spill;
  Status error;
  bool readShort = false;

  Status keep(const AacPacket& packet) {
    if (packet.pts < keepFrom || packet.pts >= keepTo) return std::nullopt;
    return spill->append(packet);
  }
};

Job planJob(const std::vector<Segment>& segments, size_t index, int64_t preroll) {
  Job job;
  job.segment = segments[index];
  job.last = index + 1 == segments.size();
  const bool first = index == 0;
  job.from = first ? 0 : std::max<int64_t>(0, job.segment.start - preroll);
  job.to = job.last ? job.segment.end : job.segment.end + kPostrollFrames;
  job.keepFrom = first ? std::numeric_limits<int64_t>::min() : job.segment.start;
  job.keepTo = job.last ? std::numeric_limits<int64_t>::max() : job.segment.end;
  return job;
}

// A worker's thread: the first failure, or a track that read short, goes into
// the job and stops every worker.
void encodeJob(Job& job, const std::array<TimelineTrack, 2>& tracks, const AudioFormat& format,
               std::atomic<bool>& stop) {
  const auto fail = [&](Status error) {
    job.error = std::move(error);
    stop = true;
  };
  const auto readShort = [&] {
    job.readShort = true;
    stop = true;
  };
  const AacPacketSink keep = [&job](const AacPacket& packet) { return job.keep(packet); };
  std::array<TrackCursor, 2> cursors;
  for (size_t channel = 0; channel < cursors.size(); ++channel) {
    if (!cursors[channel].open(tracks[channel], job.from)) return readShort();
  }
  auto chunk = PcmBuffer::create(format, kChunkFrames);
  if (!chunk) return fail(posixError(ENOMEM, "cannot allocate a chunk to encode"));
  for (int64_t first = job.from; first < job.to && !stop; first += kChunkFrames) {
    const auto frames = static_cast<uint32_t>(std::min<int64_t>(kChunkFrames, job.to - first));
    for (uint32_t channel = 0; channel < cursors.size(); ++channel) {
      if (!cursors[channel].fill(chunk->floatChannelData(channel), first, frames)) return readShort();
    }
    chunk->setFrameLength(frames);
    if (Status error = job.encoder->encode(*chunk, keep)) return fail(error);
  }
  if (stop) return;
  if (job.last) {
    if (Status error = job.encoder->flush(keep)) return fail(error);
  }
  job.encoder.reset();
}

// Runs every job on its own thread; false when a thread could not be started.
bool runJobs(std::vector<Job>& jobs, const std::array<TimelineTrack, 2>& tracks, const AudioFormat& format) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  bool started = true;
  try {
    for (Job& job : jobs) threads.emplace_back(encodeJob, std::ref(job), std::cref(tracks), std::cref(format),
                                               std::ref(stop));
  } catch (const std::system_error&) {
    stop = true;
    started = false;
  }
  for (std::thread& thread : threads) thread.join();
  return started;
}

}  // namespace

AacSegmenting& aacSegmenting() {
  static AacSegmenting how{coreCount(), kMinSegmentSeconds, kAacPrerollFrames};
  return how;
}

std::vector<Segment> planSegments(int64_t totalFrames, double sampleRate, const AacSegmenting& how) {
  // Rounding boundaries down to AAC frames takes up to a frame from a
  // segment; a frame more in the divisor keeps every segment at the minimum.
  const int64_t minFrames = std::max<int64_t>(std::llround(how.minSegmentSeconds * sampleRate), 2 * kPostrollFrames);
  const int64_t count = std::clamp<int64_t>(totalFrames / (minFrames + kAacFrame), 1, std::max(1u, how.workers));
  std::vector<Segment> segments;
  for (int64_t k = 0; k < count; ++k) {
    const int64_t start = totalFrames * k / count / kAacFrame * kAacFrame;
    if (k > 0) segments.back().end = start;
    segments.push_back({start, totalFrames});
  }
  return segments;
}

std::optional<Result<int64_t>> encodeAacInParallel(AudioFile& output, const AudioSettings& settings,
                                                   const std::string& outputPath,
                                                   const std::array<TimelineTrack, 2>& tracks) {
  int64_t total = 0;
  for (const TimelineTrack& track : tracks) {
    if (!track.path.empty()) total = std::max(total, track.offset + track.frames);
  }
  const AacSegmenting& how = aacSegmenting();
  const std::vector<Segment> segments = planSegments(total, settings.sampleRate, how);
  if (segments.size() < 2 || output.processingFormat().channelCount != tracks.size()) return std::nullopt;

  std::vector<Job> jobs;
  for (size_t index = 0; index < segments.size(); ++index) {
    Job job = planJob(segments, index, how.prerollFrames);
    // Opened here, one after the other: opening an encoder sets up FFmpeg's shared tables.
    auto encoder = createAacEncoder(settings, job.from);
    if (!encoder) return Result<int64_t>(encoder.error());
    auto spill = PacketSpill::create(outputPath);
    if (!spill) return Result<int64_t>(spill.error());
    job.encoder = std::move(*encoder);
    job.spill = std::move(*spill);
    jobs.push_back(std::move(job));
  }
  if (!runJobs(jobs, tracks, output.processingFormat())) return std::nullopt;
  // The first failure on the timeline is the one reported; a track that read
  // short matters only when nothing failed.
  for (const Job& job : jobs) {
    if (job.error) return Result<int64_t>(*job.error);
  }
  for (const Job& job : jobs) {
    if (job.readShort) return std::nullopt;
  }
  const AacPacketSink write = [&output](const AacPacket& packet) { return writeAacPacket(output, packet); };
  for (Job& job : jobs) {
    if (Status error = job.spill->replay(write)) return Result<int64_t>(*error);
    job.spill.reset();
  }
  return Result<int64_t>(total);
}

}  // namespace orvane
