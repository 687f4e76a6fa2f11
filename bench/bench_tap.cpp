// How long the microphone tap callback takes (Recorder::writeMicAudio: stamp,
// pause check, level, slot claim, conversion, hand-off), with the track behind
// a free disk, a real file, a real file that the finisher reads and writes
// the output from meanwhile, and a stalled disk. The callback must never wait
// for the disk or the finisher, so its times must not grow when the disk
// stalls or the finisher runs.
//
//   bench_tap [buffers] [pace_us]    default 20000 buffers, one every 1000 us
// Buffers are 4096 frames of 48 kHz stereo float (interleaved), stamped as a
// device would stamp them; one more row takes mono float, as the sound
// server's record stream hands its blocks on. Run with stdout to /dev/null: the LEVEL lines go there.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "finalize/finisher.h"
#include "platform/audio_file.h"
#include "platform/runtime/host_clock.h"
#include "recorder/recorder.h"
#include "support/sim_backend.h"

namespace {

using namespace orvane;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kFrames = Recorder::kTapBufferFrames;
constexpr double kDeviceRate = 48000;
constexpr int kWarmupBuffers = 100;  // the first buffer builds the slot ring and the converter
constexpr auto kStall = std::chrono::milliseconds(250);

// A disk that takes everything at once.
class FreeDisk : public AudioFile {
 public:
  const AudioFormat& processingFormat() const override { return format_; }
  int64_t length() const override { return frames_; }
  Status write(const PcmBuffer& buffer) override {
    frames_ += buffer.frameLength();
    return std::nullopt;
  }
  Status read(PcmBuffer& into, uint32_t) override {
    into.setFrameLength(0);
    return std::nullopt;
  }
  Status sync() override { return std::nullopt; }
  Status close() override { return std::nullopt; }

 private:
  AudioFormat format_ = AudioFormat::standard(48000, 1);
  int64_t frames_ = 0;
};

// A disk on which every write hangs for a quarter of a second.
class StalledDisk : public FreeDisk {
 public:
  Status write(const PcmBuffer& buffer) override {
    std::this_thread::sleep_for(kStall);
    return FreeDisk::write(buffer);
  }
};

struct Figures {
  double p50, p99, p999, max;
  int64_t delivered, written;
};

double percentile(const std::vector<double>& sorted, double p) {
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())))];
}

// `finished`: the track's file, which a finisher follows from 120 s of active time on.
Figures measure(std::shared_ptr<AudioFile> file, int buffers, std::chrono::microseconds pace,
                const std::string& finished, uint32_t channels) {
  sim::SimBackend backend{sim::Scenario{}};
  MainLoop loop;
  Recorder recorder("/tmp/orvane-bench-tap.wav", Recorder::Mode::micOnly, false, true, backend, loop);
  recorder.mic.open(file);
  std::unique_ptr<Finisher> finisher;
  if (!finished.empty()) {
    finisher = std::make_unique<Finisher>("/tmp/orvane-bench-tap.wav", "/tmp/orvane-bench-tap.finishing.wav",
                                          outputSettings(true), finished, std::nullopt, [&recorder] {
                                            return Finisher::Timelines{recorder.mic.timelineSoFar(), {}};
                                          });
    finisher->start();
  }

  const AudioFormat device{kDeviceRate, channels, SampleType::float32, true};
  auto buffer = PcmBuffer::create(device, kFrames);
  auto* samples = reinterpret_cast<float*>(buffer->plane(0));
  for (uint32_t i = 0; i < kFrames * channels; ++i) samples[i] = 0.3f * std::sin(0.05f * static_cast<float>(i));
  buffer->setFrameLength(kFrames);

  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(buffers));
  const uint64_t origin = HostClock::now();
  auto next = Clock::now();
  for (int i = 0; i < buffers; ++i) {
    std::this_thread::sleep_until(next);
    next += pace;
    if (finisher && i % 256 == 0) finisher->poll();  // the main loop's tick, which starts its thread
    const AudioTime when{origin + HostClock::hostTimeForSeconds(i * kFrames / kDeviceRate), true};
    const auto begin = Clock::now();
    recorder.writeMicAudio(*buffer, when);
    const auto took = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
    if (i >= kWarmupBuffers) micros.push_back(took);
  }
  if (finisher && finisher->framesWritten() == 0) std::fprintf(stderr, "the finisher wrote nothing\n");
  finisher.reset();
  recorder.mic.close();
  std::sort(micros.begin(), micros.end());
  return Figures{percentile(micros, 0.5), percentile(micros, 0.99), percentile(micros, 0.999), micros.back(),
                 static_cast<int64_t>(buffers) * kFrames, recorder.mic.framesWritten()};
}

}  // namespace

int main(int argc, char** argv) {
  const int buffers = argc > 1 ? std::atoi(argv[1]) : 20000;
  const auto pace = std::chrono::microseconds(argc > 2 ? std::atoi(argv[2]) : 1000);
  if (buffers <= kWarmupBuffers || pace.count() < 0) {
    std::fprintf(stderr, "usage: %s [buffers > %d] [pace_us]\n", argv[0], kWarmupBuffers);
    return 64;
  }
  const std::string path = (std::filesystem::temp_directory_path() / "orvane-bench-tap.mic.caf").string();
  auto real = AudioFile::createForWriting(path, AudioSettings{});
  if (!real) {
    std::fprintf(stderr, "%s\n", real.error().description.c_str());
    return 1;
  }
  const std::string followed = (std::filesystem::temp_directory_path() / "orvane-bench-tap.finished.caf").string();
  auto read = AudioFile::createForWriting(followed, AudioSettings{});
  if (!read) {
    std::fprintf(stderr, "%s\n", read.error().description.c_str());
    return 1;
  }
  const std::tuple<const char*, std::shared_ptr<AudioFile>, std::string, uint32_t> disks[] = {
      {"free disk (no I/O)", std::make_shared<FreeDisk>(), "", 2},
      {"free disk, mono blocks", std::make_shared<FreeDisk>(), "", 1},
      {"temp file on /tmp", real.value(), "", 2},
      {"temp file + the finisher", read.value(), followed, 2},
      {"stalled disk (250 ms/write)", std::make_shared<StalledDisk>(), "", 2},
  };
  std::fprintf(stderr, "%d tap calls of %u frames, one every %lld us (after %d warm-up calls)\n", buffers, kFrames,
               static_cast<long long>(pace.count()), kWarmupBuffers);
  std::fprintf(stderr, "%-28s %9s %9s %9s %9s %12s\n", "disk", "p50 us", "p99 us", "p99.9 us", "max us",
               "frames kept");
  for (const auto& [name, file, finished, channels] : disks) {
    const Figures f = measure(file, buffers, pace, finished, channels);
    std::fprintf(stderr, "%-28s %9.1f %9.1f %9.1f %9.1f %11.1f%%\n", name, f.p50, f.p99, f.p999, f.max,
                 100.0 * static_cast<double>(f.written) / static_cast<double>(f.delivered));
  }
  std::filesystem::remove(path);
  std::filesystem::remove(followed);
  return 0;
}
