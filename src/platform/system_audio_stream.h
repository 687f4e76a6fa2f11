// The system-audio capture service: permission, the list of outputs
// ("displays") that can be captured, and the stream that delivers what the
// computer plays. Abstract so that tests can script a stream.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/sample_buffer.h"

namespace orvane {

class SerialQueue;

enum class StreamOutputType { screen, audio };

// What the recorder asks of the stream. Only the audio properties have a
// meaning for an audio-only stream; the picture ones are kept as the record.
struct StreamConfiguration {
  bool capturesAudio = false;
  bool excludesCurrentProcessAudio = false;
  int sampleRate = 48000;
  int channelCount = 2;
  int width = 0;
  int height = 0;
  double minimumFrameIntervalSeconds = 0;
  int queueDepth = 0;
};

struct Display {
  std::string id;
  std::string name;
};

// The stream's callbacks: sample buffers arrive on the queue given to
// addOutput; a stop with an error arrives on a thread of the stream's choosing.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  virtual void streamDidOutputSampleBuffer(const SampleBuffer& buffer, StreamOutputType type) = 0;
  virtual void streamDidStopWithError(const Error& error) = 0;
};

class SystemAudioStream {
 public:
  using Completion = std::function<void(const Status&)>;
  virtual ~SystemAudioStream() = default;
  virtual Status addOutput(StreamOutputType type, SerialQueue& queue) = 0;
  virtual void startCapture(Completion completion) = 0;
  virtual void stopCapture(Completion completion) = 0;
};

class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;
  virtual bool preflightAccess() = 0;
  virtual bool requestAccess() = 0;
  // The outputs that can be captured, the default first; an error when the
  // service cannot be reached or queried.
  virtual Result<std::vector<Display>> shareableDisplays() = 0;
  virtual std::unique_ptr<SystemAudioStream> makeStream(const Display& display,
                                                        const StreamConfiguration& configuration,
                                                        StreamDelegate& delegate) = 0;
};

}  // namespace orvane
