// The scenario that scripts the simulated backend. Its JSON keys are the field
// names below, nested as the structs nest; every key is optional and one that
// the scenario does not know is an error. For example:
//   {"speed": 4,
//    "mic": {"signal": "sine", "format": {"sampleRate": 44100, "channelCount": 2},
//            "configChanges": [{"at": 3, "format": {"sampleRate": 16000, "channelCount": 1}}]},
//    "system": {"signal": "clicks", "ppm": -60},
//    "disk": {"mic": {"failAfterWrites": 3, "failCount": 4}}}
// Enumerations are written by name: "signal" none | zeros | sine | clicks,
// "sampleType" float32 | float64 | int16 | int32 | uint8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/audio/audio_format.h"

namespace orvane::sim {

// none: no buffers at all; zeros: digital silence; clicks: pulses at multiples
// of clickEveryMs of host time, so two devices click together; sineClicks:
// the clicks over a sine of a fifth of the amplitude.
enum class SignalKind { none, zeros, sine, clicks, sineClicks };

// One scheduled configuration change of the microphone.
struct ConfigChangeScript {
  double at = 0;            // host seconds after the engine first started
  bool stop = true;         // the engine stops delivering, as after a device loss
  AudioFormat format;       // sampleRate 0: the device comes back in the format it had
  int failStarts = 0;       // the next start() calls that fail
  double gapSeconds = 0;    // the device delivers again no sooner than this after the change
};

// A scripted device: the microphone or the system-audio stream.
struct DeviceScript {
  AudioFormat format{48000, 1, SampleType::float32, false};
  SignalKind signal = SignalKind::none;
  double frequency = 1000;  // sine, Hz
  double amplitude = 0.5;   // sine and clicks
  double clickEveryMs = 500;
  double clickWidthMs = 0.5;
  double switchAt = -1;          // >= 0: host seconds after the first start, the signal becomes ...
  SignalKind switchTo = SignalKind::sine;  // ... this (none is no buffers from the start only)
  uint32_t bufferFrames = 4096;  // device frames per delivery (the microphone: at most the tap's request)
  double ppm = 0;                // the device clock runs (1 + ppm·1e-6) × nominal
  double jitterMs = 0;           // time stamps off by a seeded uniform ± this
  uint64_t seed = 1;
  bool noTimestamps = false;     // buffers without a valid host time
  // The microphone only.
  int startFailures = 0;         // the first start() calls fail ...
  std::string startErrorMessage = "input device unavailable";  // ... with this text
  std::string voiceProcessingError;  // set: the input refuses voice processing with this text
  std::vector<ConfigChangeScript> configChanges;
  // The system stream only.
  bool queryFails = false;       // the list of displays cannot be had
  std::string startError;        // set: startCapture completes with this error
  double stopWithErrorAt = -1;   // >= 0: host seconds after capture started, the stream stops with ...
  std::string stopErrorMessage = "the output device went away";  // ... this error
  uint32_t screenEvery = 25;     // one screen buffer (full-scale samples) per this many audio buffers; 0: none
};

// The disk behind one temporary track.
struct DiskScript {
  int64_t failAfterWrites = -1;  // >= 0: the writes after this many fail with ENOSPC ...
  int64_t failCount = -1;        // ... this many of them (-1: all)
  std::vector<int64_t> stallAfterWrites;  // the write after each of these counts blocks ...
  double stallSeconds = 1;       // ... for this many real seconds
  std::string createError;       // set: creating the track fails with this text
};

struct Disks {
  DiskScript mic, system;
};

struct Scenario {
  int microphoneStatus = 3;      // 0 notDetermined, 1 restricted, 2 denied, 3 authorized
  bool microphoneRequestAnswer = true;
  double microphoneRequestDelaySeconds = 0;
  bool screenAllowed = true;     // the screen preflight's answer
  bool screenRequestAnswer = true;
  std::vector<std::string> displays{"speakers"};
  double speed = 1;              // seconds of audio per real second; != 1 puts the whole process on a
                                 // virtual host clock t0 + (monotonic − t0) × speed
  DeviceScript mic;
  DeviceScript system = [] {
    DeviceScript stream;
    stream.format = {48000, 2, SampleType::float32, true};
    stream.frequency = 440;  // a different tone from the microphone's
    stream.bufferFrames = 1024;
    stream.seed = 2;
    return stream;
  }();
  Disks disk;

  // Throws std::exception on a malformed scenario.
  static Scenario fromJson(const nlohmann::json& json);
};

}  // namespace orvane::sim
