// PulseRecordStream: one record stream on the sound server, the microphone's
// or the system audio's (its InputRole picks the device rules). Both streams
// of a run share one PulseClient: one context, one loop thread. Every block
// reaches the handler on that loop thread, mixed to mono, at most
// kPulseBlockMaxFrames frames, stamped by a TimestampModel. Opened on another
// device, it records on until the new stream takes over (make before break).
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/audio_input.h"
#include "platform/pulse/device_rules.h"
#include "platform/pulse/pulse_client.h"
#include "platform/pulse/record_stream_reading.h"
#include "platform/pulse/timestamp_model.h"

namespace orvane {

// A block is usually one fragment; a burst (a monitor's backlog at start, a
// source that renders in 2 s blocks) goes out in blocks of up to four, so
// that it fits in the track's ring.
inline constexpr uint32_t kPulseBlockMaxFrames = kPulseFragmentFrames * 4;
// The rate a playback stream is recorded at (InputRole::application): the
// track's, so that several can be mixed sample by sample.
inline constexpr uint32_t kApplicationRate = 48000;
inline constexpr const char* kNoMicrophoneMessage = "no microphone source on the sound server";
// A stop waits at most this long after its moment for the frames stamped
// before it (the server sends a fragment, 85 ms at 48 kHz, once it is whole).
inline constexpr double kTailWaitSeconds = 0.35;
// Frames left with the server for want of room in the track are read anyway
// once this much of the server's hold is used: what the server would then
// lose unseen, the track drops and counts instead.
inline constexpr double kHoldBackShare = 0.8;
// A stream opened onto another device while the one before still records
// (make before break) takes over once the old one has delivered up to the
// new one's first frame: at most this long after that frame arrived, beyond
// the old one's own fragment. One that delivers nothing takes over anyway
// after kOverlapMostSeconds.
inline constexpr double kHandoverWaitSeconds = 0.35;
inline constexpr double kOverlapMostSeconds = 2.0;
// The server's own stamp of the stream (its timing info) is asked for this
// often, as the baseline that tells lateness from lost frames; one that comes
// later than kServerAnswerSeconds after the question is no baseline (the
// server itself may have stalled meanwhile and lost frames). A round is
// kServerRoundStamps answers, one asked per block. A step in the stamps asks
// at once, and again on every answer while the model sweeps; it waits for the
// server's verdict until TimestampModel::kServerWordSeconds of frames were
// read: an answer comes behind all the audio the server had sent before it,
// which is seconds of it for a helper that reads late, but never more than it keeps.
inline constexpr double kServerStampSeconds = 5.0;
inline constexpr int kServerRoundStamps = 6;
inline constexpr double kServerAnswerSeconds = 0.05;
static_assert(TimestampModel::kServerWordSeconds == kServerHoldSeconds);

class PulseRecordStream : public AudioInput {
 public:
  PulseRecordStream(std::shared_ptr<PulseClient> client, InputRole role);
  // Any thread but the loop's.
  ~PulseRecordStream() override;

  // Control calls: any thread but the loop's.
  AudioFormat format() override;
  void setBlockHandler(BlockHandler handler) override;
  // The handler runs on the loop thread: it must only hand work elsewhere and
  // never call into this stream.
  void setChangeHandler(ChangeHandler handler) override;
  void setRoomCheck(RoomCheck check) override;
  // Connects first when the server connection was lost. A start that finds no
  // server leaves the wish behind: a server that answers again is reported as
  // a change, since nothing else would tell the owner.
  Status start() override;
  void stop(double untilSeconds = 0) override;
  void cutAt(double untilSeconds) override;
  bool isRunning() const override { return running_.load(std::memory_order_relaxed); }
  // InputRole::application, before start(): the playback stream to record
  // and the sink it plays on (its monitor is opened for that stream alone).
  void playbackStream(uint32_t sinkInput, uint32_t sink);

  // Times the stamp model started again by itself (lost frames); for tests and benchmarks.
  int64_t timestampRestarts() const { return timestampRestarts_.load(std::memory_order_relaxed); }
  // Benchmarks: also reports each block's raw stamp (loop thread).
  using RawStampObserver = std::function<void(int64_t frameIndex, double rawSeconds, double published)>;
  void setRawStampObserver(RawStampObserver observer);
  // Asks where the server's write index stands now, in frames; the answer
  // goes to the observer on the loop thread. One question at a time; loop lock held.
  using WriteFrameObserver = std::function<void(int64_t writeFrame)>;
  void setWriteFrameObserver(WriteFrameObserver observer);
  void askWriteFrame();

 private:
  template <class Handler>
  void replace(Handler& member, Handler handler);
  struct Device {
    std::string name;  // the source recorded (a monitor for system audio)
    std::string sink;  // system audio: the sink it monitors
    std::string defaultName;  // the default source or sink it was chosen under
    pa_sample_spec spec{};
    pa_channel_map map{};
    // The diagnostic that names it: says, the source the server linked, about.
    std::string says;
    std::string about;
  };
  Result<Device> chooseDevice();  // control_ held, loop lock not
  Status open(const Device& device);  // both locks held
  bool alreadyRecords(const Device& device) const;  // loop lock held
  bool incomingRecords(const Device& device) const;  // loop lock held
  bool mayOverlap() const;  // loop lock held
  RecordStreamHandlers handlers();
  void begin(const pa_sample_spec& spec, const std::string& device, const std::string& sink);  // loop lock held
  void destroyStream();  // loop lock held
  void releaseStream();  // loop lock held; the pacer stays
  void dropIncoming();  // loop lock held
  const char* what() const;

  // Loop thread.
  static void onRead(pa_stream* stream, size_t bytes, void* self);
  static void onStreamState(pa_stream* stream, void* self);
  static void onMoved(pa_stream* stream, void* self);
  static void onSuspended(pa_stream* stream, void* self);
  static void onContextLost(void* self);
  static void onContextBack(void* self);
  static void onServerChanged(void* self);
  static void readAvailable(void* self, double arrivalSeconds);
  static void onTiming(pa_stream* stream, int success, void* self);
  static void onWriteFrame(pa_stream* stream, int success, void* self);
  static void onIncomingRead(pa_stream* stream, size_t bytes, void* self);
  static void onIncomingState(pa_stream* stream, void* self);
  static void onHandover(pa_mainloop_api* api, pa_time_event* event, const timeval* when, void* self);
  void handOver();
  void cutForIncoming();
  void armHandover(double inSeconds);
  void askServer();
  void fireChange();
  bool mayRead(size_t readable) const;
  void readBeforeChange();
  uint32_t handedOnAlready(double published, uint32_t frames);
  void deliver(const uint8_t* data, size_t frames, double rawStart);
  void flushPending();
  void checkMove();
  void checkDefault();

  const std::shared_ptr<PulseClient> client_;
  const InputRole role_;
  // Held by every control call (never by the loop thread), so control calls
  // from different threads do not interleave. Taken before the loop lock.
  std::mutex control_;

  // Loop-thread state (set up under the loop lock).
  pa_stream* stream_ = nullptr;
  ReadPacer pacer_;
  BlockHandler handler_;
  ChangeHandler change_;
  RoomCheck room_;
  double holdSeconds_ = 0;      // what the server granted of kServerHoldSeconds
  size_t holdBackFrames_ = 0;  // see kHoldBackShare
  RawStampObserver rawStampObserver_;
  WriteFrameObserver writeFrameObserver_;
  std::unique_ptr<PcmBuffer> block_;  // mono, allocated before the stream opens
  pa_sample_spec spec_{};
  size_t frameBytes_ = 0;
  int64_t framesRead_ = 0;
  // Frames gathered in block_ for the next call, with their first frame's index and raw stamp.
  uint32_t pendingFrames_ = 0;
  int64_t pendingIndex_ = 0;
  double pendingRawStart_ = 0;
  TimestampModel model_{48000};
  pa_operation* timing_ = nullptr;  // the server's stamp, asked for
  pa_operation* writeFrame_ = nullptr;  // the server's write index, asked for
  double timingAskedAt_ = 0;
  int64_t timingAskedFrame_ = 0;
  double nextServerStamp_ = 0;
  int roundLeft_ = 0;  // answers the round still wants
  std::string deviceName_;  // the source the server says it linked
  std::string sinkName_;       // system audio: the sink recorded
  uint32_t sinkInput_ = PA_INVALID_INDEX;  // InputRole::application: the playback stream
  uint32_t sinkIndex_ = PA_INVALID_INDEX;  // and its sink
  // The default source or sink as last seen: by the start that chose the
  // device (written under the loop lock), or by an answer after a change.
  std::string defaultDevice_;
  bool holdDelivery_ = false;  // moved, and not yet known to be the right kind of device
  // The microphone: a move that left its source in place and did not land on
  // the default was the user's (the server moves a stream only off a source
  // that went away, or onto a new default): from then on we record where the
  // user put us and no longer follow the default source.
  bool movedOffLiveSource_ = false;
  std::string userSource_;
  std::string said_;  // control thread: the device the last start said it records
  double stopAt_ = 0;        // host seconds a stop waits for (or a handover); 0: none
  bool reachedStop_ = false;
  double deliveredUntil_ = 0;  // host seconds the last block handed on ends at
  bool changing_ = false;      // a move or a suspension: what came before it is read, held or not
  bool settledOnce_ = false;   // some stream of this input had its stamps settled

  // The stream that takes over from stream_ (make before break): linked, not
  // read; its audio waits with the server until stream_ has delivered up to
  // its first frame, stamped as the read path would stamp it.
  struct Incoming {
    pa_stream* stream = nullptr;
    bool linked = false;  // connected where it belongs; until then it is only being opened
    pa_sample_spec spec{};
    std::unique_ptr<PcmBuffer> block;  // allocated by the start, swapped with block_ at the handover
    std::string device;  // the source the server linked
    std::string sink;
    double holdSeconds = 0;
    double firstStamp = 0;  // raw host seconds of its first frame; 0 before it delivered
  };
  Incoming incoming_;
  pa_time_event* handover_ = nullptr;  // fires the handover on the loop thread

  std::atomic<bool> running_{false};
  std::atomic<bool> wanted_{false};  // started and not stopped since
  std::atomic<int64_t> timestampRestarts_{0};
};

}  // namespace orvane
