// The drift resampler: streams one mono track into another at a new rate by
// linear interpolation, in bounded memory whatever the track's length.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/audio_file.h"
#include "platform/error.h"

namespace orvane {

inline constexpr const char* kDriftErrorDomain = "orvane.drift";
inline constexpr int64_t kSourceTooShort = 1;
inline constexpr int64_t kOutputBufferAllocFailed = 2;
inline constexpr int64_t kReadErrorMidResample = 3;

// Frames that `sourceFrames` become at `ratio` (input rate / output rate),
// rounded half away from zero.
int64_t resampledLength(int64_t sourceFrames, double ratio);

// Reads all of `source` (mono, float processing format) and writes
// resampledLength(N, ratio) frames to the file that `createDestination`
// makes, which is called only once the source is known to be long enough.
// Output frame i interpolates source position ratio × i, computed afresh for
// every frame so that no error accumulates over hours. A read failure does
// not stop the pass; it is reported (code 3) once the pass is complete.
Result<int64_t> resampleLinearMono(AudioFile& source,
                                   const std::function<Result<std::shared_ptr<AudioFile>>()>& createDestination,
                                   double ratio);

}  // namespace orvane
