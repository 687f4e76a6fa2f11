// Starting the microphone's engine with a bounded retry.
#pragma once

#include <functional>

#include "platform/audio_input.h"
#include "platform/error.h"

namespace orvane {

// At most three attempts, 0.2 s and then 0.4 s apart. Returns false when
// `stopped` says a stop came meanwhile; throws CaptureError "engine_start"
// when every attempt failed.
bool startEngineWithRetry(AudioInput& engine, const std::function<bool()>& stopped);

}  // namespace orvane
