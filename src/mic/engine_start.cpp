// The engine start's retry loop.
#include "mic/engine_start.h"

#include <chrono>
#include <thread>

#include "events/output.h"

namespace orvane {

namespace {
constexpr int kEngineStartAttempts = 3;
constexpr double kRetryStepSeconds = 0.2;
}  // namespace

bool startEngineWithRetry(AudioInput& engine, const std::function<bool()>& stopped) {
  int failures = 0;
  Status last;
  for (;;) {
    if (failures > 0) {
      const double delay = failures * kRetryStepSeconds;
      diag("engine start retry " + std::to_string(failures) + " after " + shortestDecimal(delay) +
           "s: " + (last ? last->description : "?"));
      std::this_thread::sleep_for(std::chrono::duration<double>(delay));
      if (stopped()) return false;
    }
    last = engine.start();
    if (!last) return true;
    if (++failures == kEngineStartAttempts) throw CaptureError{"engine_start", last->description};
  }
}

}  // namespace orvane
