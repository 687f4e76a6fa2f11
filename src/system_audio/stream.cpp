// The system-audio stream: configuration, start and its callbacks. Pending:
// until it lands, no stream is configured and none is started.
#include "recorder/recorder.h"

namespace orvane {

void Recorder::configureSystemAudioIfNeeded() {}
void Recorder::startStreamCaptureIfNeeded() {}
void Recorder::streamDidOutputSampleBuffer(const SampleBuffer&, StreamOutputType) {}
void Recorder::streamDidStopWithError(const Error&) {}

}  // namespace orvane
