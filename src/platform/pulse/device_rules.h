// Which device a record stream opens, by its role: the microphone follows
// the default source (or the echo canceller, or where the user moved it) and
// never takes a monitor; the system audio records the default sink's monitor
// and nothing else. Pure functions over the server's lists.
#pragma once

#include <string>
#include <vector>

#include "platform/audio/audio_format.h"
#include "platform/pulse/pulse_client.h"

namespace orvane {

// `application`: one playback stream's audio alone, taken from its sink's
// monitor (the system audio restricted to named applications).
enum class InputRole { microphone, monitor, application };

// The source a recording uses: the one the user moved our stream to while it
// is there, else the default unless it is a monitor, else the first source
// that is not a monitor. Nothing when there is none. `why` says which.
const PulseSourceInfo* chooseMicrophone(const std::vector<PulseSourceInfo>& sources,
                                        const std::string& defaultSourceName,
                                        const std::string& userSource = {}, const char** why = nullptr);

// The sink whose monitor to record: the default one when it has a monitor,
// else `current` (the sink recorded so far) while it is there.
const PulseSinkInfo* sinkToCapture(const std::vector<PulseSinkInfo>& sinks, const std::string& defaultSinkName,
                                   const std::string& current);

// The names of the sinks that have a monitor, the default first.
std::vector<std::string> monitoredSinkNames(const std::vector<PulseSinkInfo>& sinks,
                                            const std::string& defaultSinkName);

// The stream format for a device's own sample spec: its rate and channels
// (the server neither resamples nor downmixes: every channel is mixed here,
// alike), as 32-bit float. A `graphRate` (PipeWire's; 0 elsewhere) replaces
// the rate: there every device runs at the graph's rate, and a stream asked
// for another is resampled by the server, whose resampler's first frames and
// the part of a fragment it keeps back put the stream's audio a graph cycle
// behind its stamps (the server reports neither: its source latency for such
// a stream is off by several ms), so a switch moved the microphone a cycle
// against the system audio. The track's converter takes any rate.
pa_sample_spec recordSpec(const pa_sample_spec& native, uint32_t graphRate);

}  // namespace orvane
