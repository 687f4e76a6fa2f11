// Starting the microphone's engine with a bounded retry.
#pragma once

#include <atomic>

#include "platform/audio_input.h"
#include "platform/error.h"

namespace orvane {

// Start task: at most three attempts, 0.2 s and then 0.4 s apart. Returns
// false when a stop came meanwhile; throws CaptureError "engine_start" when
// every attempt failed.
bool startEngineWithRetry(AudioInput& engine, const std::atomic<bool>& stopRequested);

}  // namespace orvane
