// Recorder: orchestrates a run. It owns the two tracks and the two inputs
// (the microphone's engine and the system audio), and runs the start and stop
// sequences, pause and resume, input restarts and the main loop's timers. The
// run's state is one enum; its steps that wait on the sound server (the start,
// the restarts, the inputs' stop) are commands of one control thread, in the
// order asked, so that the main loop never waits on the server. The members
// are defined in recorder/: construction, lifecycle, capture, pause, timers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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
#include "track/active_clock.h"
#include "track/track.h"
#include "track/track_writer.h"

namespace orvane {

class Recorder {
 public:
  enum class Mode { both = 0, micOnly = 1, systemOnly = 2 };
  // The run's life, in order; paused and restarting (an input) come and go
  // while recording. A stop moves it on to stopping, and to stopped once the
  // inputs are; a failure that ends the run, straight to stopped. Never back.
  enum class State { starting, recording, paused, restarting, stopping, stopped };
  static constexpr uint32_t kTapBufferFrames = 4096;

  // Touches no file and no device.
  Recorder(std::string outputURL, Mode mode, bool voiceProcessing, bool writeWav, Backend& backend,
           MainLoop& mainLoop);
  ~Recorder();  // waits for the control thread's command under way
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // --- lifecycle.cpp (main thread)
  // Says "STATUS starting" and has the control thread run the start sequence,
  // which ends the process on any start error.
  void start();
  // Only the first call has an effect: the control thread stops the inputs
  // after the command it is running, this thread waits for that (bounded),
  // then closes the tracks, finalizes and ends the process.
  void stop();
  // Recovery mode; never returns.
  [[noreturn]] void finalizeFromTemps();
  State state() const { return state_.load(); }
  // Whether the control thread has a command to run or under way.
  bool controlBusy();

  // --- pause.cpp (main thread)
  void pause();
  void resume();

  // --- capture.cpp
  // The inputs' capture thread (see Track::submit for its rules).
  void writeMicAudio(const PcmBuffer& buffer, const AudioTime& when);
  void writeSystemAudio(const PcmBuffer& buffer, const AudioTime& when);
  // Any thread (the engine's): queues a rate-limited restart on the main thread.
  void handleEngineConfigurationChange();
  // Any thread (the system audio's): likewise.
  void handleSystemAudioChange();

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
  // Written once before start: who spoke when goes beside the output.
  bool speechTimeline = false;
  const TempPaths paths;

  Backend& backend;
  MainLoop& mainLoop;
  std::unique_ptr<AudioInput> engine;  // the microphone; control thread
  std::unique_ptr<AudioInput> stream;  // the system audio; control thread, made by the start
  // System audio that could not be opened again after a loss ends the
  // recording once it has been away this long (a server restart takes less).
  static constexpr double kSystemAudioAwaySeconds = 10.0;

  ActiveClock clock;  // written under stateLock_
  WriteFailureReport writeFailures;
  Doorbell writerBell;  // the tracks ring the writer with it
  Track mic;
  Track system;
  TrackWriter writer;  // both tracks' appends and flushes
  LevelMeter micLevel;
  SilenceWatchdog micWatchdog;  // main thread
  RestartPolicy restarts;       // main thread
  RestartPolicy systemRestarts; // main thread

 private:
  // What the control thread runs, one at a time, in the order asked.
  enum class Command { start, restartMic, restartSystem, checkSystemAway, stopInputs };
  // Main thread: queues `command`; when no thread can be made for it, it runs here.
  void post(Command command);
  void runCommands();  // the control thread, until no command is left
  void run(Command command);

  // Any thread: the stop (or a failure) has taken the run's end.
  bool ended() const { return state() >= State::stopping; }
  // Between start and stop, while a restart runs too.
  bool recording() const { return !ended() && state() != State::starting; }
  void settle();  // stateLock_ held: recording or paused, as the clock is
  // A failure takes the run's end: false when a stop came first, whose line then ends the run.
  bool takeEnd();
  // A start step failed: "ERROR <code> <message>", unless a stop came first.
  void failStart(const std::string& code, const std::string& message);
  void failStartOrShortage(const std::string& code, const std::string& message);

  // lifecycle.cpp
  void runStart();  // control thread
  bool ensureMicrophoneAccess();
  void configureCapture();  // control thread; throws CaptureError or Error
  bool openTrack(Track& track);
  void startEngineIfNeeded();
  void stopRun(bool streamInterrupted);
  void stopInputs();      // control thread: each input delivers what was stamped before the stop, then stops
  void stopCompletion();  // main thread; never returns
  // How long the stop waits for the inputs to deliver what was stamped
  // before the stop; they wait for it at most kTailWaitSeconds.
  static constexpr double kStopInputsWaitSeconds = 0.6;
  bool closeTracks();     // false when a track could not be finished
  void removeOwnTemps();  // after the tracks are closed, or a failed start
  void sayTail(const Track& track) const;
  void startFinisher();   // control thread
  std::string inHeldFolder(const std::string& path);  // control thread
  int outputFolder_ = -1;  // the output's folder, held (O_PATH) from the finisher's start
  Result<int64_t> finishOutput(const std::optional<TrackSource>& micSource,
                               const std::optional<TrackSource>& systemSource, const TempPaths& reading,
                               InterleaveOutcome& outcome);
  // capture.cpp
  void configureSystemAudioIfNeeded();
  void startStreamCaptureIfNeeded();  // control thread, once "STATUS recording" is out
  // Control thread: the system audio is gone for good; the main thread ends the recording.
  void streamDidStopWithError(const Error& error);
  void requestEngineRestart();       // main thread
  void requestSystemAudioRestart();  // main thread
  MainLoop::TriggerId micChanged_;
  MainLoop::TriggerId systemChanged_;
  MainLoop::TriggerId levelMeasured_;
  // Control thread.
  RestartPolicy::Outcome restartEngine();
  RestartPolicy::Outcome restartSystemAudio();
  bool beginRestart();  // false once the run is over
  void endRestart();
  void checkSystemAway();
  // Control thread: the last restart of the input failed while it records on
  // the device before; its retries that fail alike are not said again.
  bool micOnOldDevice_ = false;
  bool systemOnOldDevice_ = false;
  // Control thread: while the system audio cannot be opened, the monotonic
  // time at which it has been away too long; and why the last open failed.
  std::optional<uint64_t> systemAwayUntil_;
  Error systemAwayError_;
  // timers.cpp
  void armTimers();  // control thread
  void report();        // main thread: back-pressure lines
  void reportLevel();   // main thread: the LEVEL line of a measurement
  void reportDrops(const Track& track, int64_t& reported);
  int64_t micDropsReported_ = 0;     // main thread
  int64_t systemDropsReported_ = 0;  // main thread

  std::mutex stateLock_;  // every change of state_ and of the clock
  std::condition_variable stateChanged_;
  std::atomic<State> state_{State::starting};
  double stopSeconds_ = 0;          // host seconds the stop was asked; the inputs deliver up to it
  bool streamInterrupted_ = false;  // main thread: the stop came from the system audio's end

  std::mutex controlLock_;  // the commands and whether the control thread runs
  std::deque<Command> commands_;
  bool controlRunning_ = false;
  std::thread control_;

  std::mutex tempFilesLock_;  // opening the tracks against their clean-up
  std::unique_ptr<Finisher> finisher_;  // control thread, under tempFilesLock_; then the stop's
  std::unique_ptr<LiveAudio> live_;     // control thread, until the finisher takes it
  // The tracks this run created: a stop removes no other file.
  bool micCreated_ = false;     // tempFilesLock_
  bool systemCreated_ = false;  // tempFilesLock_
};

}  // namespace orvane
