// Recorder: the one object that owns all capture state of a run. Its members
// are defined in the folder of their subsystem: recorder/ (construction,
// start and stop, pause), mic/, system_audio/, durability/ and finalize/.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <vector>

#include "platform/audio/audio_converter.h"
#include "platform/audio_file.h"
#include "platform/audio/audio_format.h"
#include "platform/backend.h"
#include "platform/error.h"
#include "platform/identity.h"
#include "platform/runtime/main_loop.h"
#include "platform/audio/pcm_buffer.h"
#include "platform/runtime/serial_queue.h"

namespace orvane {

// A start-up failure reported as "ERROR <code> <message>".
struct CaptureError {
  std::string code;
  std::string message;
};

class Recorder : public StreamDelegate {
 public:
  enum class Mode { both = 0, micOnly = 1, systemOnly = 2 };
  static constexpr int kSlotCount = 8;
  static constexpr uint32_t kTapBufferFrames = 4096;

  // Touches no file and no device.
  Recorder(std::string outputURL, Mode mode, bool voiceProcessing, bool writeWav,
           Backend& backend, MainLoop& mainLoop);
  ~Recorder() override;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // --- recorder/lifecycle.cpp
  // Start task: runs the start sequence; ends the process on any start error.
  void start();
  // Released once "STATUS starting" is out, so that the main loop handles no
  // stop request before the run's first line has been written.
  std::binary_semaphore startingAnnounced{0};
  // Any thread; only the first call has an effect.
  void stop();

  // --- recorder/pause.cpp (main thread)
  void pause();
  void resume();
  // Capture threads: host seconds minus completed pauses; absent while paused.
  std::optional<double> activeHostSeconds(double hostSeconds);

  // --- system_audio/ (start task, after start() returned)
  void startStreamCaptureIfNeeded();

  // --- finalize/recovery.cpp (main thread; never returns)
  [[noreturn]] void finalizeFromTemps();

  // --- StreamDelegate (system_audio/stream.cpp)
  void streamDidOutputSampleBuffer(const SampleBuffer& buffer, StreamOutputType type) override;
  void streamDidStopWithError(const Error& error) override;

  // --- mic/ capture thread entry (public so the tap and tests can reach it)
  void writeMicAudio(const PcmBuffer& buffer, const AudioTime& when);
  // --- system_audio/ (audioQueue)
  void writeSystemAudio(const PcmBuffer& buffer, std::optional<double> hostSeconds);

  // Settings of every temporary mono track.
  AudioSettings monoPCMSettings() const;
  // Converts `source` into `into` (track format); the converter pair belongs to one track.
  bool fillMonoBuffer(const PcmBuffer& source, PcmBuffer& into,
                      std::unique_ptr<AudioConverter>& converter,
                      std::optional<AudioFormat>& lastInputFormat);

  // Temp path rule: the output path with its last extension replaced by `extension`.
  static std::string siblingPath(const std::string& outputURL, const std::string& extension);

  // ---------------------------------------------------------------- state
  // Fields are public to the subsystems and their tests; threads and guards
  // are noted beside each group.
  const std::string outputURL;
  const Mode mode;
  const bool voiceProcessing;
  const bool writeWav;
  bool keepTemps = false;  // written once before start

  Backend& backend;
  MainLoop& mainLoop;
  std::unique_ptr<AudioEngine> engine;  // start task, main thread (restarts)

  SerialQueue audioQueue;
  SerialQueue micWriterQueue;
  SerialQueue sysWriterQueue;
  SerialQueue fsyncQueue;

  std::unique_ptr<SystemAudioStream> stream;  // start task; read once streamConfigured
  std::atomic<bool> streamConfigured{false};

  const AudioFormat monoFormat = AudioFormat::standard(48000, 1);
  const AudioFormat stereoFormat = AudioFormat::standard(48000, 2);

  // audioQueue
  std::unique_ptr<AudioConverter> systemConverter;
  std::optional<AudioFormat> systemConverterInputFormat;
  // microphone capture thread
  std::unique_ptr<AudioConverter> micConverter;
  std::optional<AudioFormat> micConverterInputFormat;

  // Slot rings: built by the producer thread on its first buffer.
  std::vector<std::unique_ptr<PcmBuffer>> micPool;
  int64_t micPoolIdx = 0;
  std::vector<std::unique_ptr<PcmBuffer>> sysPool;
  int64_t sysPoolIdx = 0;
  std::mutex micSlotLock;
  std::array<bool, kSlotCount> micSlotInFlight{};   // micSlotLock
  bool micBackpressureWarned = false;                // micSlotLock
  std::mutex sysSlotLock;
  std::array<bool, kSlotCount> sysSlotInFlight{};   // sysSlotLock
  bool sysBackpressureWarned = false;                // sysSlotLock

  // Written on the writer queues; cleared by the stop completion after the drain.
  std::shared_ptr<AudioFile> micFile;
  std::shared_ptr<AudioFile> systemFile;
  const std::string micTempURL;
  const std::string systemTempURL;

  std::atomic<MainLoop::TimerId> fsyncTimer{0};  // 0: none; start task arms, stop cancels

  std::mutex pauseLock;
  std::atomic<bool> finished{false};           // written under pauseLock
  std::atomic<bool> stopRequested{false};
  bool streamInterrupted = false;              // pauseLock
  // paused and pausedHostDurationSeconds are written under pauseLock and read
  // without it by activeHostSeconds, which runs on the capture thread.
  std::atomic<bool> paused{false};
  std::optional<double> pauseStartedHostSeconds;  // pauseLock
  std::atomic<double> pausedHostDurationSeconds{0};
  int64_t realignGeneration = 0;               // pauseLock

  std::atomic<bool> engineStarted{false};      // start task, main thread (restarts); read by stop
  std::atomic<bool> micTapInstalled{false};    // start task; read by stop
  bool configChangeObserver = false;           // start task: handler registered
  std::vector<double> configRestartTimestamps;  // main thread
  bool configRestartBackoffPending = false;     // main thread
  std::atomic<bool> producedAudio{false};

  std::mutex diskWriteFailureLock;
  bool diskWriteFailureReported = false;       // diskWriteFailureLock
  int64_t micWriteFailureCount = 0;            // micWriterQueue
  int64_t sysWriteFailureCount = 0;            // sysWriterQueue

  std::optional<double> lastLevelEmitHostSeconds;  // capture thread
  bool micSilenceWarned = false;                   // main thread
  int64_t micWatchdogBaselineFrames = 0;           // main thread
  int64_t micWatchdogBaselineNonSilentFrames = 0;  // main thread
  int64_t micWatchdogGeneration = 0;               // main thread
  std::atomic<int64_t> micNonSilentFrames{0};      // capture thread writes

  // Track counters: written on their writer queue, read after the drain
  // (micFramesWritten also by the watchdog on the main thread).
  std::optional<double> micStartSeconds;
  std::atomic<int64_t> micFramesWritten{0};
  int64_t micStartFrames = 0;
  int64_t micLastFrames = 0;
  std::optional<double> micLastHostSeconds;
  std::optional<double> sysStartSeconds;
  std::atomic<int64_t> sysFramesWritten{0};
  int64_t sysStartFrames = 0;
  int64_t sysLastFrames = 0;
  std::optional<double> sysLastHostSeconds;
  int64_t micRealignApplied = 0;
  int64_t sysRealignApplied = 0;

  std::optional<std::string> micCorrectedURL;  // stop completion
  std::optional<std::string> sysCorrectedURL;  // stop completion

  // How the interleave fared with each input (stop completion, recovery). A
  // track that exists but could not be opened, or whose read failed part-way,
  // is `failed`: its audio may be missing from the output, so its files are
  // kept for another attempt.
  enum class TrackRead { notOpened, missing, clean, failed };
  TrackRead micTrackRead = TrackRead::notOpened;
  TrackRead sysTrackRead = TrackRead::notOpened;
  bool interleaveReadFailed() const {
    return micTrackRead == TrackRead::failed || sysTrackRead == TrackRead::failed;
  }

  // ------------------------------------------------------ subsystem steps
  // recorder/lifecycle.cpp
  bool ensureMicrophoneAccess();
  void stopCompletion();  // audioQueue; never returns

  // recorder/track_writer.cpp: the write path that both tracks share.
  struct TrackRefs;
  TrackRefs micTrack();
  TrackRefs sysTrack();
  // Producer thread: claims a slot, converts `buffer` into it and hands it to
  // the writer queue; drops the buffer (and warns once per episode) when the
  // ring is full. Real-time safe once the ring exists.
  void submitToTrack(TrackRefs track, const PcmBuffer& buffer, std::shared_ptr<AudioFile> file,
                     std::optional<double> activeSeconds);
  // Writer queue: re-aligns after a resume, appends the slot, keeps the counters.
  void appendTrackSlot(TrackRefs track, int slot, AudioFile& file, std::optional<double> activeSeconds);

  // recorder/pause.cpp (writer queues). `anchorSec` and `anchorFrames` are the
  // active seconds and track position of the last buffer appended. Pads the
  // track up to `hostSec`; returns how many frames the track is ahead of it
  // (frames of the next buffer captured while paused), 0 when it is not.
  int64_t padTrackForResume(AudioFile& file, double hostSec, std::optional<double> anchorSec,
                            int64_t anchorFrames, std::atomic<int64_t>& framesWritten);

  // mic/engine_setup.cpp (start task)
  void configureCapture();      // throws CaptureError or Error
  // Opens a temporary track into `into`; false when a stop was requested first. Throws Error.
  bool openTrack(std::shared_ptr<AudioFile>& into, const std::string& path);
  std::mutex tempFilesLock;  // creation of the temporary tracks against their clean-up
  void startEngineIfNeeded();   // throws CaptureError

  // mic/mic_health.cpp
  void emitMicLevelIfDue(const PcmBuffer& buffer, double hostSeconds);  // capture thread
  void armMicWatchdog();                                                // main thread
  void scheduleMicSilenceCheck(int64_t generation, double afterSeconds);  // main thread

  // mic/config_restart.cpp (main thread)
  void handleEngineConfigurationChange();
  void performConfigRestart();

  // system_audio/stream.cpp (start task)
  void configureSystemAudioIfNeeded();  // throws CaptureError or Error
  // system_audio/system_writer.cpp
  std::unique_ptr<PcmBuffer> pcmBuffer(const SampleBuffer& sampleBuffer);

  // durability/flush.cpp
  void armFsyncTimer();
  void flushTemporaryTracks();
  void reportDiskWriteFailureIfNeeded(const std::string& track, int64_t count);

  // finalize/
  void applyDriftCompensation();
  void writeDriftSidecar(std::optional<double> micRate, std::optional<double> sysRate,
                         double nominal, std::optional<double> driftPpm,
                         std::optional<double> driftMsPerMin);
  std::optional<std::string> driftCorrectedTemp(const std::string& source, const std::string& dst,
                                                std::optional<double> measuredRate, double nominal,
                                                const std::string& label);
  Result<int64_t> linearResampleMono(const std::string& from, const std::string& to,
                                     double inputRate, double outputRate) const;
  // A corrected copy and the line that reports it, made apart so that the two
  // tracks can be corrected at once and reported in order.
  struct CorrectedCopy {
    std::optional<std::string> path;
    std::string line;
  };
  CorrectedCopy correctedCopy(const std::string& source, const std::string& dst,
                              std::optional<double> measuredRate, double nominal,
                              const std::string& label) const;
  static std::optional<std::string> report(CorrectedCopy copy);
  // Into the output with the settings that writeWav chooses.
  Result<int64_t> interleaveTracks();
  // Into the output with `settings` (recovery chooses them by the container).
  Result<int64_t> interleaveTracks(const AudioSettings& settings);
  // 16-bit linear PCM when `linearPCM`, else AAC; stereo at stereoFormat's rate.
  AudioSettings outputSettings(bool linearPCM) const;
  void cleanupTemps();
};

}  // namespace orvane
