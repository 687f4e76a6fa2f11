// The scenario that scripts the simulated backend: JSON keys are the field names below, nested as the structs nest;
// all optional, unknown ones an error.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "platform/audio/audio_format.h"

namespace orvane::sim {

// none: no buffers at all; zeros: digital silence; clicks: pulses at multiples of clickEveryMs of host time, so two
// devices click together; sineClicks: the clicks over a sine of a fifth of the amplitude.
enum class SignalKind { none, zeros, sine, clicks, sineClicks };

// One scheduled configuration change of the microphone: it stops delivering, as after a device loss, and comes back
// no sooner than gapSeconds later, in `format` (sampleRate 0: the format it had).
struct ConfigChangeScript {
  double at = 0;  // host seconds after the engine first started
  AudioFormat format;
  double gapSeconds = 0;
};

// Frames the server loses `at` host seconds after the first start: the clock goes on, the stream's frame index skips
// them only if the loss is reported.
struct HoleScript { double at = 0, seconds = 0; bool reported = false; };

// A scripted device: the microphone or the system-audio stream.
struct DeviceScript {
  AudioFormat format{48000, 1, SampleType::float32, false};
  SignalKind signal = SignalKind::none;
  double frequency = 1000, amplitude = 0.5;  // sine; amplitude also of the clicks
  double clickEveryMs = 500, clickWidthMs = 0.5;
  uint32_t bufferFrames = 4096;  // device frames per delivery (the microphone: at most the tap's request)
  double ppm = 0;                // the device clock runs (1 + ppm·1e-6) × nominal ...
  double ppmChangeAt = 0;        // ... and from this many device seconds on (> 0), at ppmAfter
  double ppmAfter = 0;
  // The microphone only: the first start() calls that fail, with this text.
  int startFailures = 0;
  std::string startErrorMessage = "input device unavailable";
  double startSeconds = 0;  // the microphone only: each start() takes this long (real time)
  std::vector<ConfigChangeScript> configChanges;
  std::vector<HoleScript> holes;  // set: raw stamps (up to 0.4 ms late) through the server's stamp model
  // The system audio only.
  bool queryFails = false;      // the list of sinks cannot be had
  std::string startError;       // set: every start fails with this error
};

// The disk behind one temporary track.
struct DiskScript {
  int64_t failAfterWrites = -1;  // >= 0: the writes after this many fail with ENOSPC ...
  int64_t failCount = -1;        // ... this many of them (-1: all)
  std::vector<int64_t> stallAfterWrites;  // the write after each of these counts blocks ...
  double stallSeconds = 1;                // ... for this many real seconds
  std::string createError;                // set: creating the track fails with this text
};

struct Disks {
  DiskScript mic, system;
};

struct Scenario {
  std::vector<std::string> sinks{"speakers"};  // those with a monitor
  double speed = 1;  // != 1: the whole process runs on a virtual host clock t0 + (monotonic − t0) × speed
  DeviceScript mic, system;
  Disks disk;

  Scenario() {  // the system audio: mono float (as the sound server's stream hands it on), another tone, 1024-frame buffers
    system.format = {48000, 1, SampleType::float32, false};
    system.frequency = 440;
    system.bufferFrames = 1024;
  }
  // Throws std::exception on a malformed scenario.
  static Scenario fromJson(const nlohmann::json& json);
};

}  // namespace orvane::sim
