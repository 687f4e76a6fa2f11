// An AudioFile held in memory (48 kHz mono), for tests of the writers: it
// records every append and sync, and can be told to fail.
#pragma once

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/audio_file.h"

namespace orvane::sim {

class MemoryAudioFile : public AudioFile {
 public:
  const AudioFormat& processingFormat() const override { return format_; }
  int64_t length() const override { return static_cast<int64_t>(samples.size()); }
  Status write(const PcmBuffer& buffer) override {
    // A full disk part-way: half of the buffer lands, and the write fails.
    const uint32_t frames = writeHalves ? buffer.frameLength() / 2 : buffer.frameLength();
    samples.insert(samples.end(), buffer.floatChannelData(0), buffer.floatChannelData(0) + frames);
    appendSizes.push_back(frames);
    return writeHalves ? Status{Error{"sim", 28, "no space left on device"}} : std::nullopt;
  }
  std::optional<Error> closeError;  // what close() returns
  // Reads from `samples`; fails every read once `failReadsFrom` frames were read.
  Status read(PcmBuffer& into, uint32_t frameCount) override {
    const bool fail = failReadsFrom && readPosition >= *failReadsFrom;
    const size_t n = fail ? 0 : std::min<size_t>({frameCount, into.frameCapacity(), samples.size() - readPosition});
    std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(readPosition), n, into.floatChannelData(0));
    readPosition += n;
    into.setFrameLength(static_cast<uint32_t>(n));
    return fail ? Status{Error{"sim", 5, "input/output error"}} : std::nullopt;
  }
  Status sync() override {
    syncedAtLength.push_back(samples.size());
    return std::nullopt;
  }
  Status close() override {
    closed = true;
    return closeError;
  }

  std::vector<float> samples;
  std::vector<uint32_t> appendSizes;
  std::vector<size_t> syncedAtLength;  // the track's length at each sync
  bool writeHalves = false, closed = false;
  size_t readPosition = 0;
  std::optional<size_t> failReadsFrom;

 private:
  AudioFormat format_ = AudioFormat::standard(48000, 1);
};

}  // namespace orvane::sim
