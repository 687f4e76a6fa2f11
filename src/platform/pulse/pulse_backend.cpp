// PulseBackend and the factory the process entry uses.
#include "platform/pulse/pulse_backend.h"

#include "platform/pulse/pulse_audio_engine.h"

namespace orvane {

std::unique_ptr<AudioEngine> PulseBackend::makeAudioEngine() { return std::make_unique<PulseAudioEngine>(); }

std::unique_ptr<Backend> makePulseBackend() { return std::make_unique<PulseBackend>(); }

}  // namespace orvane
