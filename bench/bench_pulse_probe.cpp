// A small driver of the sound-server backend for the process tests: asks the
// permissions, or runs the microphone engine for a while and reports what the
// tap received, as lines on standard output.
//
//   bench_pulse_probe permissions
//   bench_pulse_probe record SECONDS [--restart-on-change]
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/pulse/pulse_record_stream.h"
#include "platform/pulse/pulse_backend.h"

using namespace orvane;

namespace {

// Written by the tap only (capture thread), read at the end.
struct TapStats {
  std::atomic<int64_t> frames{0};
  std::atomic<uint32_t> maxFrames{0};
  std::atomic<uint64_t> lastHost{0};
  std::atomic<int64_t> invalidStamps{0};
  std::atomic<int64_t> backwards{0};
  double peak = 0;  // capture thread only until the end
  // Each block's frames against the seconds of stamps to the next one (capture
  // thread only until the end): their median is the stamps' rate, which frames
  // the server lost (a stamp that steps over them) leave alone.
  std::array<double, 16384> blockRates{};
  size_t blockRateCount = 0;
  uint32_t lastFrames = 0;
};

double medianRate(TapStats& stats) {
  if (stats.blockRateCount == 0) return 0;
  auto* rates = stats.blockRates.data();
  auto* middle = rates + stats.blockRateCount / 2;
  std::nth_element(rates, middle, rates + stats.blockRateCount);
  return *middle;
}

int permissions() {
  auto backend = makePulseBackend();
  const int mic = backend->permissions().microphoneStatus();
  const bool screen = backend->permissions().preflightSystemAudio();
  std::mutex mutex;
  std::condition_variable answered;
  int requestAnswer = -1;
  backend->permissions().requestMicrophone([&](bool granted) {
    std::lock_guard lock(mutex);
    requestAnswer = granted ? 1 : 0;
    answered.notify_all();
  });
  std::unique_lock lock(mutex);
  answered.wait(lock, [&] { return requestAnswer >= 0; });
  std::printf("{\"microphone\":%d,\"screen\":%s,\"request\":%s}\n", mic, screen ? "true" : "false",
              requestAnswer ? "true" : "false");
  return 0;
}

double peakOf(const PcmBuffer& buffer) {
  const auto& format = buffer.format();
  const size_t samples = static_cast<size_t>(buffer.frameLength()) * format.channelCount;
  double peak = 0;
  for (size_t i = 0; i < samples; ++i) {
    double v = 0;
    switch (format.sampleType) {
      case SampleType::float32: v = reinterpret_cast<const float*>(buffer.plane(0))[i]; break;
      case SampleType::int16: v = reinterpret_cast<const int16_t*>(buffer.plane(0))[i] / 32768.0; break;
      case SampleType::int32: v = reinterpret_cast<const int32_t*>(buffer.plane(0))[i] / 2147483648.0; break;
      case SampleType::uint8: v = (buffer.plane(0)[i] - 128) / 128.0; break;
      case SampleType::float64: v = reinterpret_cast<const double*>(buffer.plane(0))[i]; break;
    }
    peak = std::max(peak, std::abs(v));
  }
  return peak;
}

int record(double seconds, bool restartOnChange) {
  PulseRecordStream engine(std::make_shared<PulseClient>(), InputRole::microphone);
  TapStats stats;
  std::atomic<int> changes{0};
  engine.setBlockHandler([&stats](const PcmBuffer& buffer, const AudioTime& when) {
    const int64_t index = stats.frames.fetch_add(buffer.frameLength());
    if (buffer.frameLength() > stats.maxFrames) stats.maxFrames = buffer.frameLength();
    if (!when.hostTimeValid) stats.invalidStamps.fetch_add(1);
    if (when.hostTime < stats.lastHost) stats.backwards.fetch_add(1);
    if (index > 0 && when.hostTime > stats.lastHost && stats.blockRateCount < stats.blockRates.size()) {
      stats.blockRates[stats.blockRateCount++] = stats.lastFrames / ((when.hostTime - stats.lastHost) / 1e9);
    }
    stats.lastHost = when.hostTime;
    stats.lastFrames = buffer.frameLength();
    stats.peak = std::max(stats.peak, peakOf(buffer));
  });
  engine.setChangeHandler([&changes] { changes.fetch_add(1); });
  if (auto error = engine.start()) {
    std::printf("start_error %s\n", error->description.c_str());
    return 0;
  }
  std::printf("started\n");
  std::fflush(stdout);
  int seen = 0;
  bool pendingRestart = false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int now = changes.load();
    if (now != seen) {
      seen = now;
      std::printf("change %d running=%s\n", now, engine.isRunning() ? "true" : "false");
      pendingRestart = restartOnChange;
    }
    if (!pendingRestart) continue;
    // Like the recorder: start again; keep trying while the server is away.
    if (auto error = engine.start()) {
      std::printf("restart_error %s\n", error->description.c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    } else {
      pendingRestart = false;
      std::printf("restarted %s frames=%lld\n", engine.format().describe().c_str(),
                  static_cast<long long>(stats.frames.load()));
    }
  }
  engine.setBlockHandler(nullptr);
  engine.stop();
  std::printf("summary {\"frames\":%lld,\"max_frames\":%u,\"rate\":%.4f,\"changes\":%d,\"invalid_stamps\":%lld,"
              "\"backwards\":%lld,\"peak\":%.4f,\"format\":\"%s\",\"running_after_stop\":%s}\n",
              static_cast<long long>(stats.frames.load()), stats.maxFrames.load(),
              medianRate(stats), changes.load(),
              static_cast<long long>(stats.invalidStamps.load()), static_cast<long long>(stats.backwards.load()),
              stats.peak, engine.format().describe().c_str(), engine.isRunning() ? "true" : "false");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "permissions") return permissions();
  if (command == "record" && argc > 2) {
    bool restartOnChange = false;
    for (int i = 3; i < argc; ++i) {
      if (std::strcmp(argv[i], "--restart-on-change") == 0) restartOnChange = true;
    }
    return record(std::atof(argv[2]), restartOnChange);
  }
  std::fprintf(stderr, "usage: %s permissions | record SECONDS [--restart-on-change]\n",
               argv[0]);
  return 2;
}
