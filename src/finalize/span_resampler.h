// Drift correction of a track that is still being recorded. Output frame i
// interpolates source position R·i, where R is the ratio of the span that i
// falls in: each span takes the rate measured so far when it began, so the
// frames can be made long before the final measurement. The stop checks each
// span against that measurement; the last span takes it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace orvane {

class SpanResampler {
 public:
  // Reads the next source frames in order into `into`; the count read.
  using Fetch = std::function<uint32_t(float* into, uint32_t frames)>;

  explicit SpanResampler(Fetch fetch) : fetch_(std::move(fetch)) {}

  // Frames from here on take `ratio` (1: none), in a new span unless the
  // current one is younger than ten seconds of output.
  void setRatio(double ratio);
  bool hasRatio() const { return !spans_.empty(); }
  // Frames that can be made now from the first `sourceFrames` source frames.
  int64_t available(int64_t sourceFrames) const;
  // The source has ended at `sourceFrames`: the rest takes `finalRatio` and
  // the length is what the whole track resampled at it would have.
  void end(int64_t sourceFrames, double finalRatio);
  // Makes up to `frames` frames; 0 once the ended track is done.
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

  Fetch fetch_;
  std::vector<Span> spans_;
  std::vector<float> window_;  // source frames from windowStart_ on
  int64_t windowStart_ = 0;
  int64_t position_ = 0;  // output frames made
  std::optional<int64_t> length_;      // output frames, once ended
  std::optional<int64_t> lastSource_;  // the last source frame, once ended
};

}  // namespace orvane
