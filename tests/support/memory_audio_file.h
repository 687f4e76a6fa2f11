// An AudioFile held in memory, for tests of the writers: it records every
// append and can be told to fail.
#pragma once

#include <vector>

#include "platform/audio_file.h"

namespace orvane::sim {

class MemoryAudioFile : public AudioFile {
 public:
  explicit MemoryAudioFile(AudioFormat format = AudioFormat::standard(48000, 1)) : format_(format) {}

  const AudioFormat& processingFormat() const override { return format_; }
  int64_t length() const override { return static_cast<int64_t>(samples.size()); }
  Status write(const PcmBuffer& buffer) override {
    if (failWrites) return Error{"sim", 28, "no space left on device"};
    const float* data = buffer.floatChannelData(0);
    samples.insert(samples.end(), data, data + buffer.frameLength());
    appendSizes.push_back(buffer.frameLength());
    return std::nullopt;
  }
  Status read(PcmBuffer& into, uint32_t) override {
    into.setFrameLength(0);
    return std::nullopt;
  }
  Status sync() override { return std::nullopt; }

  std::vector<float> samples;
  std::vector<uint32_t> appendSizes;
  bool failWrites = false;

 private:
  AudioFormat format_;
};

}  // namespace orvane::sim
