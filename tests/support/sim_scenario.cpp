// Reading a scenario: the given JSON is laid over the defaults, and every key
// and value given must come back out of what was read, so that a misspelt key
// or name in a test cannot silently script nothing.
#include "support/sim_scenario.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace orvane {

NLOHMANN_JSON_SERIALIZE_ENUM(SampleType, {{SampleType::float32, "float32"}, {SampleType::float64, "float64"},
                                          {SampleType::int16, "int16"}, {SampleType::int32, "int32"},
                                          {SampleType::uint8, "uint8"}})
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(AudioFormat, sampleRate, channelCount, sampleType, interleaved)

namespace sim {

NLOHMANN_JSON_SERIALIZE_ENUM(SignalKind, {{SignalKind::none, "none"}, {SignalKind::zeros, "zeros"},
                                          {SignalKind::sine, "sine"}, {SignalKind::clicks, "clicks"},
                                          {SignalKind::sineClicks, "sineClicks"}})
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(ConfigChangeScript, at, format, gapSeconds)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(HoleScript, at, seconds, reported)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(DeviceScript, format, signal, frequency, amplitude, clickEveryMs,
                                                clickWidthMs, bufferFrames, ppm, ppmChangeAt, ppmAfter,
                                                startFailures, startErrorMessage, startSeconds,
                                                configChanges, holes, queryFails, startError)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(DiskScript, failAfterWrites, failCount, stallAfterWrites,
                                                stallSeconds, createError)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Disks, mic, system)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Scenario, sinks, speed, mic, system, disk)

static void requireUnderstood(const nlohmann::json& given, const nlohmann::json& read, const std::string& where) {
  if (given.is_object() && read.is_object()) {
    for (const auto& [key, value] : given.items()) {
      if (!read.contains(key)) throw std::invalid_argument("unknown scenario key " + where + key);
      requireUnderstood(value, read[key], where + key + ".");
    }
  } else if (given.is_array() && read.is_array() && given.size() == read.size()) {
    for (size_t i = 0; i < given.size(); ++i) requireUnderstood(given[i], read[i], where + std::to_string(i) + ".");
  } else if (given != read) {
    throw std::invalid_argument("scenario value " + where + given.dump() + " not understood");
  }
}

Scenario Scenario::fromJson(const nlohmann::json& given) {
  nlohmann::json merged = Scenario{};
  merged.merge_patch(given);
  auto scenario = merged.get<Scenario>();
  requireUnderstood(given, scenario, "");
  if (!(scenario.speed > 0)) throw std::invalid_argument("speed must be positive");
  return scenario;
}

}  // namespace sim
}  // namespace orvane
