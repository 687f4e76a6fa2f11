// The system-audio stream: permission, the output to capture, the stream's
// configuration, its start, and its callbacks. A stream that stops on its own
// ends the whole recording, which is then finalized as after "stop".
#include <cmath>

#include "events/output.h"
#include "recorder/recorder.h"

namespace orvane {

namespace {

StreamConfiguration audioOnlyConfiguration() {
  StreamConfiguration configuration;
  configuration.capturesAudio = true;
  configuration.excludesCurrentProcessAudio = true;
  configuration.sampleRate = 48000;
  configuration.channelCount = 2;
  // The picture side means nothing for an audio-only stream; kept as the record.
  configuration.width = 2;
  configuration.height = 2;
  configuration.minimumFrameIntervalSeconds = 1.0;
  configuration.queueDepth = 6;
  return configuration;
}

}  // namespace

// Start task.
void Recorder::configureSystemAudioIfNeeded() {
  if (mode == Mode::micOnly) return;
  ScreenCapture& capture = backend.screenCapture();
  const CaptureError noPermission{"screen_permission", "screen recording access not granted"};
  if (!capture.preflightAccess() && !capture.requestAccess()) throw noPermission;
  auto displays = capture.shareableDisplays();
  if (!displays) throw noPermission;
  if (displays->empty()) throw CaptureError{"no_display", "no display available for capture"};
  auto created = capture.makeStream(displays->front(), audioOnlyConfiguration(), *this);
  if (!created) throw Error{"orvane", 1, "the system-audio stream could not be created"};
  if (Status error = created->addOutput(StreamOutputType::screen, audioQueue)) throw *error;
  if (Status error = created->addOutput(StreamOutputType::audio, audioQueue)) throw *error;
  stream = std::move(created);
  streamConfigured = true;
}

// Start task, after the start sequence returned.
void Recorder::startStreamCaptureIfNeeded() {
  if (!streamConfigured) return;
  stream->startCapture([](const Status& error) {
    if (error) fail("scstream_start", error->description);
  });
}

// audioQueue.
void Recorder::streamDidOutputSampleBuffer(const SampleBuffer& buffer, StreamOutputType type) {
  if (type != StreamOutputType::audio || !buffer.dataReady) return;
  std::optional<double> hostSeconds = buffer.presentationSeconds;
  if (hostSeconds && !std::isfinite(*hostSeconds)) hostSeconds.reset();
  auto pcm = pcmBuffer(buffer);
  if (!pcm) return;
  writeSystemAudio(*pcm, hostSeconds);
}

// Any thread.
void Recorder::streamDidStopWithError(const Error& error) {
  diag("scstream stopped: " + error.description);
  {
    std::lock_guard lock(pauseLock);
    if (!finished) streamInterrupted = true;
  }
  stop();
}

}  // namespace orvane
