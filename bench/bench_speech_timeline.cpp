// What the speech timeline costs a recording: the CPU its thread spends per
// second of output, on a stereo output read from a file (a WAV output of a
// real recording, microphone left, system audio right) or on a synthetic one
// (noise at the pace of speech in both channels).
//   bench_speech_timeline [output.wav] [seconds]
// Figures: CPU per second of audio with the echo path's delay found by the
// timeline itself and handed over (as voice processing does), as a share of
// one core in real time.
#include <sndfile.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <random>
#include <vector>

#include "finalize/speech_timeline.h"

using namespace orvane;

namespace {

constexpr int kRate = 48000;
constexpr uint32_t kChunk = 8192;  // what the interleave writes at a time

double threadCpu() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool readStereo(const char* path, std::vector<float>& mic, std::vector<float>& system) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path, SFM_READ, &info);
  if (!file || info.channels != 2) return false;
  std::vector<float> frames(static_cast<size_t>(info.frames) * 2);
  sf_readf_float(file, frames.data(), info.frames);
  sf_close(file);
  for (sf_count_t i = 0; i < info.frames; ++i) {
    mic.push_back(frames[2 * i]);
    system.push_back(frames[2 * i + 1]);
  }
  return true;
}

void synthesize(double seconds, std::vector<float>& mic, std::vector<float>& system) {
  std::mt19937 random(1);
  std::uniform_real_distribution<float> noise(-1, 1);
  const auto frames = static_cast<size_t>(seconds * kRate);
  mic.resize(frames);
  system.resize(frames);
  for (size_t i = 0; i < frames; ++i) {
    const bool farSpeaks = (i / (3 * kRate)) % 2 == 0, nearSpeaks = (i / (2 * kRate)) % 3 == 0;
    const float syllable = (i / 7200) % 4 == 3 ? 0.0f : 0.3f;  // 150 ms on, 50 ms off
    system[i] = farSpeaks ? syllable * noise(random) : 1e-4f * noise(random);
    mic[i] = (nearSpeaks ? syllable * noise(random) : 1e-4f * noise(random)) + (i >= 2880 ? 0.3f * system[i - 2880] : 0);
  }
}

double run(const std::vector<float>& mic, const std::vector<float>& system, std::optional<double> delayMs,
           size_t& micSpans) {
  SpeechTimeline timeline;
  const double start = threadCpu();
  for (size_t at = 0; at < mic.size(); at += kChunk) {
    const auto frames = static_cast<uint32_t>(std::min<size_t>(kChunk, mic.size() - at));
    timeline.add(mic.data() + at, system.data() + at, frames, static_cast<int64_t>(at), delayMs);
  }
  const double cpu = threadCpu() - start;
  micSpans = timeline.micSpeech().size();
  return cpu;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<float> mic, system;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 600;
  if (argc > 1 && std::string(argv[1]) != "-") {
    if (!readStereo(argv[1], mic, system)) {
      std::fprintf(stderr, "%s: not a stereo file\n", argv[1]);
      return 1;
    }
  } else {
    synthesize(seconds, mic, system);
  }
  const double audio = static_cast<double>(mic.size()) / kRate;
  for (std::optional<double> delayMs : {std::optional<double>{}, std::optional<double>{60.0}}) {
    size_t spans = 0;
    const double cpu = run(mic, system, delayMs, spans);
    std::printf("%-28s %.1f s of audio: %.3f s CPU, %.3f %% of a core in real time (%zu microphone spans)\n",
                delayMs ? "delay handed over" : "delay found by the timeline", audio, cpu, 100 * cpu / audio, spans);
  }
  return 0;
}
