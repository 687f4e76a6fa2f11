// The interleave of the two tracks into the output file. Pending: until it
// lands, a stop with audio reports a finalization error and keeps the temps.
#include "recorder/recorder.h"

namespace orvane {

Result<int64_t> Recorder::interleaveTracks() {
  return Error{"orvane", 1, "output encoding is not available in this build"};
}

}  // namespace orvane
