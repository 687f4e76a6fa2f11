// The scripted backend: permissions, a microphone engine, a system-audio
// service and the disk behind the temporary tracks, driven by a scenario
// instead of a sound server.
//
// Scenario JSON (every key optional; unknown keys are an error):
// {
//   "microphoneStatus": 3,               // 0 notDetermined, 1 restricted, 2 denied, 3 authorized
//   "microphoneRequestAnswer": true,
//   "microphoneRequestDelaySeconds": 0,
//   "screenAllowed": true,               // screen preflight answer
//   "screenRequestAnswer": true,         // screen request answer
//   "displays": ["speakers"],            // [] : no display
//   "speed": 1,                          // seconds of audio per real second; != 1 puts the whole
//                                        // process on a virtual host clock t0 + (mono - t0) * speed
//   "mic": {
//     "format": {"rate": 48000, "channels": 1, "sampleType": "float32", "interleaved": false},
//                                        // sampleType: float32 float64 int16 int32 uint8
//     "signal": "none",                  // none (no buffers at all) | zeros | sine | clicks
//     "frequency": 1000, "amplitude": 0.5,   // sine; amplitude also for clicks
//     "clickEveryMs": 500, "clickWidthMs": 0.5,  // clicks at multiples of this much host time
//     "bufferFrames": 4096,              // device frames per tap call (at most the tap's request)
//     "ppm": 0,                          // device clock runs (1 + ppm*1e-6) x nominal
//     "jitterMs": 0, "seed": 1,          // time stamps off by a seeded uniform +-jitterMs
//     "noTimestamps": false,             // tap time stamps without a valid host time
//     "startFailures": 0,                // the first N start() calls fail ...
//     "startErrorMessage": "input device unavailable",  // ... with this description
//     "voiceProcessingError": "...",     // present: enabling voice processing fails with this text
//     "configChanges": [                 // at host seconds after the first start:
//       {"at": 2.0, "stop": true,        //   fire the change handler; stop delivering (default)
//        "format": {...},                //   come back in this format (keys as above)
//        "failStarts": 0}                //   and fail the next N start() calls
//     ]
//   },
//   "system": {
//     "format": {"rate": 48000, "channels": 2, "sampleType": "float32", "interleaved": true},
//     "signal": "none", "frequency": 440, "amplitude": 0.5, "clickEveryMs": 500, "clickWidthMs": 0.5,
//     "bufferFrames": 1024, "ppm": 0, "jitterMs": 0, "seed": 2,
//     "noTimestamps": false,             // sample buffers without a presentation time
//     "queryFails": false,               // the display list cannot be had
//     "startError": "...",               // present: startCapture completes with this error
//     "stopWithErrorAt": 3.0,            // host seconds after capture started: stop with an error
//     "stopErrorMessage": "the output device went away",
//     "screenEvery": 25,                 // one screen-type buffer (full-scale samples) per N audio buffers
//     "displays": [...], "preflight": true, "request": true   // same as the top-level keys
//   },
//   "disk": {                            // for both temporary tracks, or
//                                        // {"mic": {...}, "system": {...}} for one each
//     "failAfterWrites": -1,             // >= 0: the writes after this many fail ...
//     "failCount": -1,                   // ... this many of them (-1 or "forever": all)
//     "errorDomain": "posix", "errorCode": 28, "errorMessage": "No space left on device",
//     "stallSeconds": 0,                 // every write sleeps this many real seconds
//     "stallAfterWrites": [N, ...],      // (or one number) the write after N writes blocks ...
//     "releaseAfterSeconds": -1,         // ... for this many real seconds (-1: until released) ...
//     "releaseFile": "/path",            // ... or until this file exists
//     "createError": "..."               // present: creating the track fails with this text
//   }
// }
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/backend.h"
#include "support/sim_engine.h"
#include "support/sim_scenario.h"
#include "support/sim_stream.h"

namespace orvane::sim {

class SimPermissions : public Permissions {
 public:
  explicit SimPermissions(const Scenario& scenario) : scenario_(scenario) {}
  int microphoneStatus() override { return scenario_.microphoneStatus; }
  void requestMicrophone(std::function<void(bool)> answer) override;
  bool preflightScreenCapture() override { return scenario_.screenAllowed; }
  bool requestScreenCapture() override { return scenario_.screenRequestAnswer; }

 private:
  const Scenario& scenario_;
};

class SimBackend : public Backend {
 public:
  // Installs the virtual host clock when the scenario runs faster than real time.
  explicit SimBackend(Scenario scenario);
  ~SimBackend() override;
  std::unique_ptr<AudioEngine> makeAudioEngine() override;
  ScreenCapture& screenCapture() override { return screen_; }
  Permissions& permissions() override { return permissions_; }
  Result<std::shared_ptr<AudioFile>> createTrackFile(const std::string& path,
                                                     const AudioSettings& settings) override;
  const Scenario& scenario() const { return scenario_; }
  SimScreenCapture& simScreenCapture() { return screen_; }

 private:
  Scenario scenario_;
  SimPermissions permissions_;
  SimScreenCapture screen_;
};

}  // namespace orvane::sim
