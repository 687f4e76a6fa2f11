// The drift resampler, for a track still being recorded or one that has
// ended. Output frame i interpolates source position R·i linearly, computed
// afresh for every frame so that no error accumulates over hours, where R is
// the ratio of the span that i falls in: each span takes the rate measured so
// far when it began, so the frames can be made long before the final
// measurement. The stop checks each span against that measurement; the last
// span takes it, and so does every span from the first one that lies too far
// from it, which is made again. An ended track is one span at its ratio.
// Memory stays bounded: a window of source samples slides along.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace orvane {

// Frames that `sourceFrames` become at `ratio` (input rate / output rate),
// rounded half away from zero.
int64_t resampledLength(int64_t sourceFrames, double ratio);

class SpanResampler {
 public:
  // Reads the next source frames in order into `into`; the count read.
  using Fetch = std::function<uint32_t(float* into, uint32_t frames)>;
  // Moves the source so that the next fetch reads from `frame`; false when it cannot.
  using Seek = std::function<bool(int64_t frame)>;

  SpanResampler(Fetch fetch, Seek seek) : fetch_(std::move(fetch)), seek_(std::move(seek)) {}

  // Frames from here on take `ratio` (1: none), in a new span unless the
  // current one is younger than ten seconds of output. Spans begin every ten
  // seconds even at the same ratio, so that a redo starts no earlier than it must.
  void setRatio(double ratio);
  bool hasRatio() const { return !spans_.empty(); }
  // Frames that can be made now from the first `sourceFrames` source frames.
  int64_t available(int64_t sourceFrames) const;
  // The source has ended at `sourceFrames`: the rest takes `finalRatio`, and
  // so does every span from output frame `from` on (at most the frames made);
  // the length is what the whole track resampled at it would have.
  void end(int64_t sourceFrames, double finalRatio, std::optional<int64_t> from = std::nullopt);
  // The next read makes output frame `frame` (at most the frames made, or
  // once ended, its length) again.
  void rewind(int64_t frame);
  // Output frames in all, once ended.
  std::optional<int64_t> length() const { return length_; }
  // Makes up to `frames` frames; 0 once the ended track is done, or when the source cannot be moved back.
  uint32_t read(float* out, uint32_t frames);

  // The first frame of the first span whose frames lie more than `tolerance`
  // source frames from where `finalRatio` puts them; nothing when none does.
  std::optional<int64_t> firstMisplaced(double finalRatio, double tolerance) const;

 private:
  struct Span {
    int64_t start;
    double ratio;
  };
  float sample(int64_t frame);
  const Span& spanAt(int64_t frame) const;
  int64_t spanEnd(const Span& span) const;

  Fetch fetch_;
  Seek seek_;
  bool lost_ = false;  // the source could not be moved back
  std::vector<Span> spans_;
  std::vector<float> window_;  // source frames from windowStart_ on
  int64_t windowStart_ = 0;
  int64_t position_ = 0;  // output frames made
  std::optional<int64_t> length_;      // output frames, once ended
  std::optional<int64_t> lastSource_;  // the last source frame, once ended
};

}  // namespace orvane
