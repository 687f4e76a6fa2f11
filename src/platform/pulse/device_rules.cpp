// The microphone's and the system audio's device rules.
#include "platform/pulse/device_rules.h"

#include <algorithm>

namespace orvane {

namespace {

const PulseSinkInfo* findSink(const std::vector<PulseSinkInfo>& sinks, const std::string& name) {
  const auto found = std::find_if(sinks.begin(), sinks.end(), [&](const auto& sink) { return sink.name == name; });
  return found == sinks.end() ? nullptr : &*found;
}

bool hasMonitor(const PulseSinkInfo* sink) { return sink && !sink->monitorSourceName.empty(); }

}  // namespace

const PulseSourceInfo* chooseMicrophone(const std::vector<PulseSourceInfo>& sources,
                                        const std::string& defaultSourceName,
                                        const std::string& userSource, const char** why) {
  const auto pick = [&](const char* reason, auto&& wanted) -> const PulseSourceInfo* {
    const auto found = std::find_if(sources.begin(), sources.end(), wanted);
    if (found == sources.end()) return nullptr;
    if (why) *why = reason;
    return &*found;
  };
  const PulseSourceInfo* source = nullptr;
  if (!userSource.empty()) {
    source = pick("where the user moved it", [&](const auto& s) { return s.name == userSource && !s.isMonitor; });
  }
  if (!source) {
    source = pick("the default source", [&](const auto& s) { return s.name == defaultSourceName && !s.isMonitor; });
  }
  if (!source) source = pick("the default source is a monitor", [](const auto& s) { return !s.isMonitor; });
  return source;
}

const PulseSinkInfo* sinkToCapture(const std::vector<PulseSinkInfo>& sinks, const std::string& defaultSinkName,
                                   const std::string& current) {
  if (const PulseSinkInfo* sink = findSink(sinks, defaultSinkName); hasMonitor(sink)) return sink;
  if (const PulseSinkInfo* sink = findSink(sinks, current); hasMonitor(sink)) return sink;
  return nullptr;
}

std::vector<std::string> monitoredSinkNames(const std::vector<PulseSinkInfo>& sinks,
                                            const std::string& defaultSinkName) {
  std::vector<std::string> names;
  for (const auto& sink : sinks) {
    if (!hasMonitor(&sink)) continue;
    if (sink.name == defaultSinkName) names.insert(names.begin(), sink.name);
    else names.push_back(sink.name);
  }
  return names;
}

pa_sample_spec recordSpec(const pa_sample_spec& native, uint32_t graphRate) {
  pa_sample_spec spec = native;
  spec.format = PA_SAMPLE_FLOAT32NE;
  if (graphRate > 0) spec.rate = graphRate;
  if (spec.channels == 0) spec.channels = 1;
  return spec;
}

}  // namespace orvane
