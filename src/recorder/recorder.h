// Recorder: orchestrates a run. It owns the two tracks and the two inputs
// (the microphone's engine and the system audio), and runs the start and stop
// sequences, pause and resume, input restarts and the main loop's timers. The members
// are defined in recorder/: construction, lifecycle, capture, pause, timers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <vector>

#include "finalize/finisher.h"
#include "finalize/temp_paths.h"
#include "mic/level_meter.h"
#include "mic/restart_policy.h"
#include "mic/silence_watchdog.h"
#include "platform/audio_input.h"
#include "platform/backend.h"
#include "platform/error.h"
#include "platform/runtime/main_loop.h"
#include "platform/runtime/serial_queue.h"
#include "track/active_clock.h"
#include "track/track.h"
#include "track/track_writer.h"

namespace orvane {

class Recorder {
 public:
  enum class Mode { both = 0, micOnly = 1, systemOnly = 2 };
  static constexpr uint32_t kTapBufferFrames = 4096;

  // Touches no file and no device.
  Recorder(std::string outputURL, Mode mode, bool voiceProcessing, bool writeWav, Backend& backend,
           MainLoop& mainLoop);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // --- lifecycle.cpp
  // Start task: runs the start sequence; ends the process on any start error.
  void start();
  // Released once "STATUS starting" is out, so that the main loop handles no
  // stop request before the run's first line has been written.
  std::binary_semaphore startingAnnounced{0};
  // Any thread; only the first call has an effect.
  void stop();
  // Main thread: recovery mode; never returns.
  [[noreturn]] void finalizeFromTemps();

  // --- pause.cpp (main thread)
  void pause();
  void resume();

  // --- capture.cpp
  // Start task, after start() returned.
  void startStreamCaptureIfNeeded();
  // The inputs' capture thread (see Track::submit for its rules).
  void writeMicAudio(const PcmBuffer& buffer, const AudioTime& when);
  void writeSystemAudio(const PcmBuffer& buffer, const AudioTime& when);
  // Any thread: the system audio is gone for good; ends the recording.
  void streamDidStopWithError(const Error& error);
  // Any thread (the engine's): queues a rate-limited restart on the main thread.
  void handleEngineConfigurationChange();
  // Any thread (the system audio's): likewise.
  void handleSystemAudioChange();

  // ---------------------------------------------------------------- state
  const std::string outputURL;
  const Mode mode;
  const bool voiceProcessing;
  const bool writeWav;
  bool keepTemps = false;  // written once before start
  // Written once before start: when not empty, the system track holds only
  // what these applications play.
  std::vector<std::string> systemAudioFrom;
  // Written once before start: the socket the host listens on for the live
  // audio (empty: none), and its rate.
  std::string liveAudioPath;
  int liveRate = 16000;
  const TempPaths paths;

  Backend& backend;
  MainLoop& mainLoop;
  std::unique_ptr<AudioInput> engine;  // the microphone; start task, engineQueue (restarts)
  // Input restarts and the inputs' stop: a sound server that accepts and
  // never answers holds this queue (every wait on it is bounded), never the
  // main loop or the stop completion.
  SerialQueue engineQueue;

  ActiveClock clock;  // written under pauseLock
  WriteFailureReport writeFailures;
  Doorbell writerBell;  // the tracks ring the writer with it
  Track mic;
  Track system;
  TrackWriter writer;  // both tracks' appends and flushes
  LevelMeter micLevel;
  SilenceWatchdog micWatchdog;  // main thread
  RestartPolicy restarts;       // main thread
  RestartPolicy systemRestarts; // main thread

  std::unique_ptr<AudioInput> stream;  // the system audio; start task; read once streamConfigured
  std::atomic<bool> streamConfigured{false};
  // System audio that could not be opened again after a loss ends the
  // recording once it has been away this long (a server restart takes less).
  static constexpr double kSystemAudioAwaySeconds = 10.0;

  std::atomic<MainLoop::TimerId> reportTimer{0};  // 0: none; start task arms, stop cancels
  std::atomic<MainLoop::TimerId> finisherTimer{0};  // likewise, once the finisher is made

  std::mutex pauseLock;
  std::atomic<bool> finished{false};  // written under pauseLock
  std::atomic<bool> stopRequested{false};
  std::atomic<double> stopSeconds{0};  // host seconds the stop was asked; the inputs deliver up to it
  bool streamInterrupted = false;  // pauseLock

  std::atomic<bool> engineStarted{false};    // start task, main thread (restarts); read by stop
  std::atomic<bool> micTapInstalled{false};  // start task; cleared by stopInputs
  std::atomic<bool> engineStopped{false};    // stopInputs
  std::atomic<bool> streamStopped{false};    // stopInputs
  std::atomic<bool> startedRecording{false};  // start task, once "STATUS recording" is due
  std::mutex tempFilesLock;                  // opening the tracks against their clean-up
  std::unique_ptr<Finisher> finisher;        // start task, under tempFilesLock; then the stop's
  std::unique_ptr<LiveAudio> live;           // start task, until the finisher takes it

  // engineQueue: each input delivers what was stamped before the stop, then
  // stops; each once.
  void stopInputs();

 private:
  // lifecycle.cpp
  bool ensureMicrophoneAccess();
  void configureCapture();  // start task; throws CaptureError or Error
  bool openTrack(Track& track);
  void startEngineIfNeeded();
  void armStartTimeout();  // start task
  void stopCompletion();  // a thread of its own; never returns
  // How long the stop completion waits for the inputs to deliver what was
  // stamped before the stop; they wait for it at most kTailWaitSeconds.
  static constexpr double kStopInputsWaitSeconds = 0.6;
  bool closeTracks();     // false when a track could not be finished
  void removeOwnTemps();  // after the tracks are closed, or a failed start
  void sayTail(const Track& track) const;
  void startFinisher();   // start task
  std::string inHeldFolder(const std::string& path);  // start task
  int outputFolder_ = -1;  // the output's folder, held (O_PATH) from the finisher's start
  Result<int64_t> finishOutput(const std::optional<TrackSource>& micSource,
                               const std::optional<TrackSource>& systemSource, const TempPaths& reading,
                               InterleaveOutcome& outcome);
  // capture.cpp
  void configureSystemAudioIfNeeded();
  void requestEngineRestart();       // main thread
  void requestSystemAudioRestart();  // main thread
  MainLoop::TriggerId micChanged_;
  MainLoop::TriggerId systemChanged_;
  MainLoop::TriggerId levelMeasured_;
  // engineQueue: false when the input could not be started again.
  bool restartEngine();
  bool restartSystemAudio();
  // Successful opens of the system audio: the start task counts the first,
  // engineQueue the rest, and a change the stream reports as it starts may
  // bring a reopening while the start task still counts.
  std::atomic<int64_t> systemOpened_{0};
  bool systemAwayWatched_ = false;  // engineQueue: a 10 s watch is armed
  Error systemAwayError_;           // engineQueue: why the last open failed
  // timers.cpp
  void armTimers();     // start task
  void cancelTimers();  // any thread
  void report();        // main thread: back-pressure lines
  void reportLevel();   // main thread: the LEVEL line of a measurement
  void reportDrops(const Track& track, int64_t& reported);
  int64_t micDropsReported_ = 0;     // main thread
  int64_t systemDropsReported_ = 0;  // main thread
  // The tracks this run created: a stop removes no other file.
  bool micCreated_ = false;     // tempFilesLock
  bool systemCreated_ = false;  // tempFilesLock
};

}  // namespace orvane
