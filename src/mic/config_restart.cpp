// Recovery from engine configuration changes (device switched, removed,
// suspended, server restarted): rate-limited restarts on the main thread.
#include <algorithm>

#include "events/output.h"
#include "platform/runtime/host_clock.h"
#include "recorder/recorder.h"

namespace orvane {

namespace {
constexpr double kRestartWindowSeconds = 10.0;
constexpr size_t kRestartsPerWindow = 4;
constexpr double kBackoffSeconds = 3.0;

const char* boolWord(bool value) { return value ? "true" : "false"; }
}  // namespace

// Any thread (the engine's): only queues the work.
void Recorder::handleEngineConfigurationChange() {
  mainLoop.post([this] { performConfigRestart(); });
}

// Main thread.
void Recorder::performConfigRestart() {
  if (!engineStarted || finished) return;
  const double now = HostClock::nowSeconds();
  std::erase_if(configRestartTimestamps, [now](double t) { return now - t >= kRestartWindowSeconds; });
  if (configRestartTimestamps.size() >= kRestartsPerWindow) {
    if (configRestartBackoffPending) return;
    configRestartBackoffPending = true;
    diag("config change: " + std::to_string(configRestartTimestamps.size()) + " restarts in window; backing off " +
         shortestDecimal(kBackoffSeconds) + "s");
    mainLoop.postAfter(kBackoffSeconds, [this] {
      configRestartBackoffPending = false;
      configRestartTimestamps.clear();
      performConfigRestart();
    });
    return;
  }
  configRestartTimestamps.push_back(now);
  diag(std::string("engine configuration change (running=") + boolWord(engine->isRunning()) + "); restarting");
  engine->prepare();
  if (Status error = engine->start()) diag("engine restart failed: " + error->description);
  else diag(std::string("engine restarted, running=") + boolWord(engine->isRunning()));
  if (finished) return;
  armMicWatchdog();
}

}  // namespace orvane
