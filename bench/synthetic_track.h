// Synthetic temporary tracks for the benchmarks: a tone with a little noise,
// so that neither the encoders nor the resampler meet a constant.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/audio_file.h"

namespace orvane::bench {

// Writes `frames` frames of 16-bit mono 48 kHz (the temporary-track settings)
// in 100 ms appends, as the writers do. False, with a message, on failure.
inline bool generateTrack(const std::string& path, int64_t frames, double frequency, uint32_t seed) {
  constexpr double kRate = 48000;
  constexpr uint32_t kWriteFrames = 4800;
  constexpr double kPi = 3.14159265358979323846;
  auto created = AudioFile::createForWriting(path, AudioSettings{});
  if (!created) {
    std::fprintf(stderr, "%s\n", created.error().description.c_str());
    return false;
  }
  auto buffer = PcmBuffer::create(AudioFormat::standard(kRate, 1), kWriteFrames);
  for (int64_t done = 0; done < frames;) {
    const auto n = static_cast<uint32_t>(std::min<int64_t>(kWriteFrames, frames - done));
    float* out = buffer->floatChannelData(0);
    for (uint32_t i = 0; i < n; ++i) {
      seed = seed * 1664525u + 1013904223u;
      const double noise = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.05;
      out[i] = static_cast<float>(0.4 * std::sin(2 * kPi * frequency * static_cast<double>(done + i) / kRate) + noise);
    }
    buffer->setFrameLength(n);
    if (Status error = (*created)->write(*buffer)) {
      std::fprintf(stderr, "%s\n", error->description.c_str());
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace orvane::bench
