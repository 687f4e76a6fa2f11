// The scenario that scripts the simulated backend, read from JSON. The JSON
// keys are documented at the top of sim_backend.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/audio_format.h"

namespace orvane::sim {

enum class SignalKind { none, zeros, sine, clicks };

// What a device plays.
struct SignalScript {
  SignalKind kind = SignalKind::none;
  double frequency = 1000;        // sine, Hz
  double amplitude = 0.5;         // sine and clicks, linear full scale
  double clickEveryMs = 500;      // clicks: one pulse at every multiple of this much host time
  double clickWidthMs = 0.5;
};

// One scheduled configuration change of the microphone device.
struct ConfigChangeScript {
  double atSeconds = 0;                // host seconds after the engine first started
  bool stopDelivering = true;          // the engine stops, as after a device loss
  std::optional<AudioFormat> format;   // the device comes back in this format
  int failStarts = 0;                  // the next start() calls that fail
};

struct MicScript {
  AudioFormat format{48000, 1, SampleType::float32, false};
  SignalScript signal;
  uint32_t bufferFrames = 4096;
  double ppm = 0;                      // device clock runs (1 + ppm·1e-6) × nominal
  double jitterMs = 0;                 // time stamps off by up to ± this, seeded
  uint64_t seed = 1;
  bool noTimestamps = false;           // time stamps without a valid host time
  int startFailures = 0;               // the first start() calls fail ...
  std::string startErrorMessage = "input device unavailable";  // ... with this text
  std::optional<std::string> voiceProcessingError;  // set: the input refuses voice processing
  std::vector<ConfigChangeScript> configChanges;
};

struct SystemScript {
  AudioFormat format{48000, 2, SampleType::float32, true};
  SignalScript signal{SignalKind::none, 440};  // a different tone from the microphone's
  uint32_t bufferFrames = 1024;
  double ppm = 0;
  double jitterMs = 0;
  uint64_t seed = 2;
  bool noTimestamps = false;           // buffers without a presentation time
  bool queryFails = false;             // the list of displays cannot be had
  std::optional<std::string> startError;       // startCapture completes with this error
  std::optional<double> stopWithErrorAtSeconds;  // host seconds after capture started
  std::string stopErrorMessage = "the output device went away";
  uint32_t screenEvery = 25;           // one screen-type buffer per this many audio buffers (0: none)
};

// A disk behind one temporary track.
struct DiskScript {
  int64_t failAfterWrites = -1;        // -1: never fails; else the writes after this many fail ...
  int64_t failCount = -1;              // ... this many of them (-1: for ever)
  int64_t errorCode = 28;
  std::string errorDomain = "posix";
  std::string errorMessage = "No space left on device";
  double stallSeconds = 0;             // every write sleeps this long (real seconds)
  std::vector<int64_t> stallAfterWrites;  // the write after this many writes blocks until released
  double releaseAfterSeconds = -1;     // a blocked write is released after this long (-1: never) ...
  std::string releaseFile;             // ... or when this file exists
  std::optional<std::string> createError;  // creating the track fails with this text

  bool scripted() const;
};

struct Scenario {
  int microphoneStatus = 3;          // 0 notDetermined, 1 restricted, 2 denied, 3 authorized
  bool microphoneRequestAnswer = true;
  double microphoneRequestDelaySeconds = 0;
  bool screenAllowed = true;
  bool screenRequestAnswer = true;
  std::vector<std::string> displays{"speakers"};
  double speed = 1;                  // seconds of audio per real second
  MicScript mic;
  SystemScript system;
  DiskScript micDisk;
  DiskScript systemDisk;

  // Throws nlohmann::json::exception on a malformed scenario.
  static Scenario fromJson(const nlohmann::json& json);
};

}  // namespace orvane::sim
