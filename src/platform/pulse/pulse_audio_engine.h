// PulseAudioEngine: the microphone as a record stream on the sound server.
//
// The microphone is the server's default source, or the first source that is
// not a monitor when the default is one (a monitor would record the system
// audio as the microphone). The stream runs at the source's own rate and
// channel map; buffers reach the tap on the libpulse loop thread, at most
// 4096 frames each, stamped by a TimestampModel.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/audio_engine.h"
#include "platform/pulse/pulse_client.h"
#include "platform/pulse/record_stream_reading.h"
#include "platform/pulse/timestamp_model.h"

namespace orvane {

// A tap call carries up to kPulseTapBurstFactor times the frames the tap asked
// for. In steady state one fragment (about 85 ms) is all there is to read; a
// burst (a monitor's backlog at start, a source that renders in 2 s blocks)
// goes out in larger pieces, so that it fits in the writer's eight-slot ring
// instead of overflowing it and losing audio.
inline constexpr uint32_t kPulseTapBurstFactor = 4;
// Frames per tap call at most, whatever the tap asks for.
inline constexpr uint32_t kPulseTapMaxFrames = 4096 * kPulseTapBurstFactor;
inline constexpr const char* kMicStreamName = "Microphone";
inline constexpr const char* kNoMicrophoneMessage = "no microphone source on the sound server";
// While the server is away, how often we look for it again.
inline constexpr double kServerWatchIntervalSeconds = 0.5;

// The stream format for a source's native sample spec: the same rate and
// channels, and the same sample format when a PcmBuffer can hold it, else
// float32le. Also the AudioFormat the tap sees (interleaved).
pa_sample_spec pulseStreamSpec(const pa_sample_spec& native);
AudioFormat audioFormatForSpec(const pa_sample_spec& spec);

// The source a recording uses: the echo canceller when voice processing is on
// (nothing when there is none), else the one the user moved our stream to
// while it is there, else the default unless it is a monitor, else the first
// source that is not a monitor. Nothing when there is none. `why` says which.
const PulseSourceInfo* chooseMicrophone(const std::vector<PulseSourceInfo>& sources,
                                        const std::string& defaultSourceName, bool voiceProcessing,
                                        const std::string& userSource = {}, const char** why = nullptr);

class PulseAudioEngine : public AudioEngine {
 public:
  PulseAudioEngine();
  // Any thread but the loop's.
  ~PulseAudioEngine() override;

  // Any thread but the loop's. The running stream's format, else the format a
  // stream would get now; sample rate 0 when the server cannot be asked.
  AudioFormat inputFormat() override;
  // Any thread but the loop's: records from the echo-cancelling source from
  // the next start on; an error saying why when the server has none.
  Status setVoiceProcessingEnabled(bool enabled) override;
  // Any thread but the loop's. The tap is called on the loop thread, under
  // the loop lock; it must follow the real-time rules of TapBlock.
  void installTap(uint32_t bufferSize, TapBlock tap) override;
  void removeTap() override;
  // The handler runs on the loop thread (or, once a lost server is back, on
  // the thread that watched for it): it must only hand work elsewhere and
  // never call into this engine.
  void setConfigurationChangeHandler(ConfigurationChangeBlock handler) override;

  // Any thread but the loop's. prepare() connects when needed; start() (re)creates
  // the record stream on the current microphone and reconnects first when the
  // server connection was lost. A restart that finds no server leaves a
  // watch behind: a server with a microphone coming back is reported as one
  // more configuration change, since nothing else would tell the caller.
  void prepare() override;
  Status start() override;
  void stop() override;
  bool isRunning() const override { return running_.load(std::memory_order_relaxed); }

  // Times the stamp model started again by itself (lost frames); for tests and benchmarks.
  int64_t timestampRestarts() const { return timestampRestarts_.load(std::memory_order_relaxed); }

  // Benchmarks: also reports each chunk's raw stamp (loop thread).
  using RawStampObserver = std::function<void(int64_t frameIndex, double rawSeconds, double published)>;
  void setRawStampObserver(RawStampObserver observer);

 private:
  Status ensureConnected();
  Status startStream(std::string& recorded);  // control_ held
  void destroyStream();  // lock held
  void watchForServer();   // control_ held
  void endServerWatch();   // control_ held
  void fireConfigurationChange();  // loop thread

  // libpulse callbacks (loop thread).
  static void onRead(pa_stream* stream, size_t bytes, void* self);
  static void onStreamState(pa_stream* stream, void* self);
  static void onMoved(pa_stream* stream, void* self);
  static void onSuspended(pa_stream* stream, void* self);
  static void onSubscription(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                             void* self);
  static void readAvailable(void* self, double arrivalSeconds);
  void deliver(const uint8_t* data, size_t frames, double rawSeconds);
  void flushPending();
  void checkDefaultSource();
  void checkMove();

  // Held by every public call (never by the loop thread), so control calls
  // from different threads do not interleave. Taken before the loop lock.
  std::mutex control_;
  std::unique_ptr<PulseClient> client_;
  std::atomic<bool> contextFailed_{false};
  pa_stream* stream_ = nullptr;
  ReadPacer pacer_;
  bool voiceProcessing_ = false;

  // Loop-thread state of the running stream (set up under the lock in start()).
  TapBlock tap_;
  uint32_t tapFrames_ = kPulseTapMaxFrames;     // most frames in one tap call
  uint32_t tapRequestFrames_ = kPulseTapMaxFrames / kPulseTapBurstFactor;  // what the tap asked for
  ConfigurationChangeBlock configurationChange_;
  RawStampObserver rawStampObserver_;
  std::unique_ptr<PcmBuffer> buffer_;
  pa_sample_spec spec_{};
  AudioFormat format_;
  size_t frameBytes_ = 0;
  int64_t framesRead_ = 0;
  // Frames gathered in buffer_ for the next tap call, with their first frame's index and raw stamp.
  uint32_t pendingFrames_ = 0;
  int64_t pendingIndex_ = 0;
  double pendingRawStart_ = 0;
  TimestampModel model_{48000};
  std::string sourceName_;
  std::string defaultSource_;  // as last seen
  bool holdDelivery_ = false;  // moved, and not yet known to be a real microphone
  // A move that left its source in place and did not land on the default was
  // the user's (the server moves a stream only off a source that went away, or
  // onto a new default): from then on we record where the user put us and no
  // longer follow the default source.
  bool movedOffLiveSource_ = false;
  std::string userSource_;
  bool stopping_ = false;

  std::atomic<bool> running_{false};
  // Started and not stopped since: a returning server matters even while a
  // restart has failed.
  std::atomic<bool> wanted_{false};

  std::thread serverWatch_;
  std::mutex watchMutex_;
  std::condition_variable watchWake_;
  bool watchQuit_ = false;              // watchMutex_
  std::atomic<bool> watchDone_{false};
  std::atomic<int64_t> timestampRestarts_{0};
};

}  // namespace orvane
