// Recorder: orchestrates a run. It owns the two tracks, the microphone's
// engine and the system-audio stream, and runs the start and stop sequences,
// pause and resume, engine restarts and the main loop's timers. The members
// are defined in recorder/: construction, lifecycle, capture, pause, timers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>

#include "finalize/finisher.h"
#include "finalize/temp_paths.h"
#include "mic/level_meter.h"
#include "mic/restart_policy.h"
#include "mic/silence_watchdog.h"
#include "platform/audio_engine.h"
#include "platform/backend.h"
#include "platform/error.h"
#include "platform/runtime/main_loop.h"
#include "platform/runtime/serial_queue.h"
#include "platform/system_audio_stream.h"
#include "track/active_clock.h"
#include "track/track.h"

namespace orvane {

class Recorder : public StreamDelegate {
 public:
  enum class Mode { both = 0, micOnly = 1, systemOnly = 2 };
  static constexpr uint32_t kTapBufferFrames = 4096;

  // Touches no file and no device.
  Recorder(std::string outputURL, Mode mode, bool voiceProcessing, bool writeWav, Backend& backend,
           MainLoop& mainLoop);
  ~Recorder() override;
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
  // The microphone's capture thread (see Track::submit for its rules).
  void writeMicAudio(const PcmBuffer& buffer, const AudioTime& when);
  // audioQueue. A chunk without a time stamp is still written; it only takes
  // no part in the timeline bookkeeping.
  void writeSystemAudio(const PcmBuffer& buffer, std::optional<double> hostSeconds);
  void streamDidOutputSampleBuffer(const SampleBuffer& buffer, StreamOutputType type) override;
  void streamDidStopWithError(const Error& error) override;
  // Any thread (the engine's): queues a rate-limited restart on the main thread.
  void handleEngineConfigurationChange();

  // ---------------------------------------------------------------- state
  const std::string outputURL;
  const Mode mode;
  const bool voiceProcessing;
  const bool writeWav;
  bool keepTemps = false;  // written once before start
  const TempPaths paths;

  Backend& backend;
  MainLoop& mainLoop;
  std::unique_ptr<AudioEngine> engine;  // start task, main thread (restarts)
  SerialQueue audioQueue;
  SerialQueue fsyncQueue;
  // Engine restarts and the engine's and stream's teardown: a sound server
  // that accepts and never answers holds this queue, never the main loop.
  SerialQueue engineQueue;

  ActiveClock clock;  // written under pauseLock
  WriteFailureReport writeFailures;
  Track mic;
  Track system;
  LevelMeter micLevel;
  SilenceWatchdog micWatchdog;  // main thread
  RestartPolicy restarts;       // main thread

  std::unique_ptr<SystemAudioStream> stream;  // start task; read once streamConfigured
  std::atomic<bool> streamConfigured{false};

  std::atomic<MainLoop::TimerId> fsyncTimer{0};   // 0: none; start task arms, stop cancels
  std::atomic<MainLoop::TimerId> reportTimer{0};  // likewise

  std::mutex pauseLock;
  std::atomic<bool> finished{false};  // written under pauseLock
  std::atomic<bool> stopRequested{false};
  bool streamInterrupted = false;  // pauseLock

  std::atomic<bool> engineStarted{false};    // start task, main thread (restarts); read by stop
  std::atomic<bool> micTapInstalled{false};  // start task; read by stop
  std::mutex tempFilesLock;                  // opening the tracks against their clean-up
  std::unique_ptr<Finisher> finisher;        // start task, under tempFilesLock; then the stop's

 private:
  // lifecycle.cpp
  bool ensureMicrophoneAccess();
  void configureCapture();  // start task; throws CaptureError or Error
  bool openTrack(Track& track);
  void startEngineIfNeeded();
  void stopCompletion();  // audioQueue; never returns
  bool closeTracks();     // false when a track could not be finished
  void startFinisher();   // start task
  std::optional<Result<int64_t>> finishWhatTheFinisherBegan(const std::optional<TrackSource>& micSource,
                                                           const std::optional<TrackSource>& systemSource,
                                                           const TempPaths& reading, InterleaveOutcome& outcome);
  // capture.cpp
  void configureSystemAudioIfNeeded();
  void restartEngine();  // engineQueue
  // timers.cpp
  void armTimers();     // start task
  void cancelTimers();  // any thread
  void flushTracks();   // a tick of the flush timer
  void report();        // main thread: LEVEL and back-pressure lines
  void reportDrops(const Track& track, int64_t& reported);
  int64_t micDropsReported_ = 0;     // main thread
  int64_t systemDropsReported_ = 0;  // main thread
};

}  // namespace orvane
