// Drift measurement and correction before the interleave. Pending: until it
// lands, the raw temporary tracks are interleaved as they are.
#include "recorder/recorder.h"

namespace orvane {

void Recorder::applyDriftCompensation() {}

}  // namespace orvane
