// PulseScreenCapture: system audio as the monitor source of the default output
// sink. The "displays" are the server's sinks that have a monitor, the default
// one first; the stream records the default sink's monitor at the requested
// rate and channel count (the server converts) and follows the default sink
// when it changes. It records nothing but a sink's monitor: a stream that ends
// up anywhere else stops with an error.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pulse/pulse_client.h"
#include "platform/pulse/record_stream_reading.h"
#include "platform/pulse/timestamp_model.h"
#include "platform/audio/sample_buffer_ring.h"
#include "platform/system_audio_stream.h"

namespace orvane {

inline constexpr const char* kSystemStreamName = "System audio";
// Frames per delivered sample buffer (about 85 ms at 48 kHz, one fragment).
inline constexpr uint32_t kSystemChunkFrames = 4096;
// Sample buffers that may wait on the audio queue at once (about 2.7 s).
inline constexpr size_t kSystemRingSlots = 32;

// The sinks worth capturing (those with a monitor), the default one first.
std::vector<Display> displaysForSinks(const std::vector<PulseSinkInfo>& sinks, const std::string& defaultSinkName);

// The sink to record: the default one when it has a monitor, else `preferred`
// (the display asked for) when it is still there; nothing when neither is.
const PulseSinkInfo* sinkToCapture(const std::vector<PulseSinkInfo>& sinks, const std::string& defaultSinkName,
                                   const std::string& preferred);

// What the loss of the stream on `ourSink` means. Our sink still there: the
// stream was killed. Gone, with a default sink that has a monitor: follow it.
// Gone with nothing to follow: the stream is over.
enum class StreamLoss { killed, follow, nothingToFollow };
StreamLoss judgeStreamLoss(const std::vector<PulseSinkInfo>& sinks, const std::string& defaultSinkName,
                           const std::string& ourSink);

class PulseScreenCapture : public ScreenCapture {
 public:
  // Any thread; each call asks the server anew.
  bool preflightAccess() override;
  bool requestAccess() override;
  Result<std::vector<Display>> shareableDisplays() override;
  std::unique_ptr<SystemAudioStream> makeStream(const Display& display, const StreamConfiguration& configuration,
                                                StreamDelegate& delegate) override;
};

// The stream itself. Threads: control calls on any thread but the loop's;
// libpulse callbacks on the loop thread; a watcher thread of its own decides
// what a default-sink change, a move or a loss means (it may block on server
// queries, which the loop thread must never do) and reports a stop with an
// error to the delegate.
class PulseSystemAudioStream : public SystemAudioStream {
 public:
  PulseSystemAudioStream(std::string preferredSink, const StreamConfiguration& configuration,
                         StreamDelegate& delegate);
  ~PulseSystemAudioStream() override;

  // Any thread: only the audio output is kept; the picture output is accepted
  // and never fed.
  Status addOutput(StreamOutputType type, SerialQueue& queue) override;
  // Any thread but the loop's: connects, opens the default sink's monitor and
  // waits until it runs; the completion runs on the caller's thread.
  void startCapture(Completion completion) override;
  // Any thread but the loop's, the delegate's stop report included.
  void stopCapture(Completion completion) override;

 private:
  // What the loop thread asks the watcher to look into.
  enum Event : unsigned { kDefaultChanged = 1, kStreamLost = 2, kMoved = 4, kServerGone = 8 };

  // Off the loop thread, control_ held.
  Status openOnDefaultSink();
  void destroyStream();  // loop lock held
  void flushChunk();     // loop lock held
  void watch();
  void handle(unsigned events);
  void reportStop(const std::string& message);
  void post(unsigned events);  // any thread

  // Loop thread.
  static void onRead(pa_stream* stream, size_t bytes, void* self);
  static void onStreamState(pa_stream* stream, void* self);
  static void onMoved(pa_stream* stream, void* self);
  static void onSuspended(pa_stream* stream, void* self);
  static void onSubscription(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);
  static void readAvailable(void* self, double arrivalSeconds);
  void deliver(const uint8_t* data, size_t frames, double rawStart);

  const std::string preferredSink_;
  const pa_sample_spec spec_;
  const size_t frameBytes_;
  StreamDelegate& delegate_;
  std::shared_ptr<SampleBufferRing> ring_;
  SerialQueue* audioQueue_ = nullptr;

  // Taken by every control call and by the watcher, before the loop lock.
  std::mutex control_;
  bool started_ = false;
  bool stopped_ = false;  // by stopCapture or a reported stop; never cleared
  std::unique_ptr<PulseClient> client_;
  std::string sinkName_;
  std::string monitorName_;

  // Loop-thread state (set up under the loop lock).
  pa_stream* stream_ = nullptr;
  ReadPacer pacer_;
  int64_t framesRead_ = 0;
  TimestampModel model_;
  bool holdDelivery_ = false;  // moved, and not yet known to be a sink's monitor
  std::atomic<int64_t> droppedFrames_{0};
  std::atomic<int> lostErrno_{PA_OK};  // why the server ended the stream

  // The watcher's mailbox.
  std::mutex eventsLock_;
  std::condition_variable eventsChanged_;
  unsigned events_ = 0;
  bool quit_ = false;
  std::thread watcher_;
};

}  // namespace orvane
