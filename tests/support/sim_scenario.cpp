// Reading a scenario from JSON; unknown keys are an error so that a typo in a
// test cannot silently script nothing.
#include "support/sim_scenario.h"

#include <set>
#include <stdexcept>

namespace orvane::sim {

namespace {

using nlohmann::json;

void rejectUnknownKeys(const json& object, const std::set<std::string>& known, const std::string& where) {
  for (const auto& item : object.items()) {
    if (!known.contains(item.key())) {
      throw std::invalid_argument("unknown scenario key " + where + item.key());
    }
  }
}

SampleType sampleTypeFromName(const std::string& name) {
  for (SampleType type : {SampleType::float32, SampleType::float64, SampleType::int16, SampleType::int32,
                          SampleType::uint8}) {
    if (name == sampleTypeName(type)) return type;
  }
  throw std::invalid_argument("unknown sample type " + name);
}

AudioFormat formatFromJson(const json& j, AudioFormat format) {
  rejectUnknownKeys(j, {"rate", "channels", "sampleType", "interleaved"}, "format.");
  format.sampleRate = j.value("rate", format.sampleRate);
  format.channelCount = j.value("channels", format.channelCount);
  if (j.contains("sampleType")) format.sampleType = sampleTypeFromName(j["sampleType"].get<std::string>());
  format.interleaved = j.value("interleaved", format.interleaved);
  return format;
}

SignalKind signalKindFromName(const std::string& name) {
  if (name == "none") return SignalKind::none;
  if (name == "zeros") return SignalKind::zeros;
  if (name == "sine") return SignalKind::sine;
  if (name == "clicks") return SignalKind::clicks;
  throw std::invalid_argument("unknown signal " + name);
}

// The signal keys sit beside the device's other keys.
SignalScript signalFromJson(const json& j, SignalScript s) {
  if (j.contains("signal")) s.kind = signalKindFromName(j["signal"].get<std::string>());
  s.frequency = j.value("frequency", s.frequency);
  s.amplitude = j.value("amplitude", s.amplitude);
  s.clickEveryMs = j.value("clickEveryMs", s.clickEveryMs);
  s.clickWidthMs = j.value("clickWidthMs", s.clickWidthMs);
  return s;
}

const std::set<std::string> kSignalKeys{"signal", "frequency", "amplitude", "clickEveryMs", "clickWidthMs"};

std::set<std::string> withSignalKeys(std::set<std::string> keys) {
  keys.insert(kSignalKeys.begin(), kSignalKeys.end());
  return keys;
}

MicScript micFromJson(const json& j) {
  rejectUnknownKeys(j, withSignalKeys({"format", "bufferFrames", "ppm", "jitterMs", "seed", "noTimestamps",
                                       "startFailures", "startErrorMessage", "voiceProcessingError",
                                       "configChanges"}),
                    "mic.");
  MicScript m;
  if (j.contains("format")) m.format = formatFromJson(j["format"], m.format);
  m.signal = signalFromJson(j, m.signal);
  m.bufferFrames = j.value("bufferFrames", m.bufferFrames);
  m.ppm = j.value("ppm", m.ppm);
  m.jitterMs = j.value("jitterMs", m.jitterMs);
  m.seed = j.value("seed", m.seed);
  m.noTimestamps = j.value("noTimestamps", m.noTimestamps);
  m.startFailures = j.value("startFailures", m.startFailures);
  m.startErrorMessage = j.value("startErrorMessage", m.startErrorMessage);
  if (j.contains("voiceProcessingError")) m.voiceProcessingError = j["voiceProcessingError"].get<std::string>();
  for (const json& c : j.value("configChanges", json::array())) {
    rejectUnknownKeys(c, {"at", "stop", "format", "failStarts"}, "mic.configChanges.");
    ConfigChangeScript change;
    change.atSeconds = c.at("at").get<double>();
    change.stopDelivering = c.value("stop", change.stopDelivering);
    if (c.contains("format")) change.format = formatFromJson(c["format"], m.format);
    change.failStarts = c.value("failStarts", change.failStarts);
    m.configChanges.push_back(change);
  }
  return m;
}

SystemScript systemFromJson(const json& j, Scenario& scenario) {
  rejectUnknownKeys(j, withSignalKeys({"format", "bufferFrames", "ppm", "jitterMs", "seed", "noTimestamps",
                                       "queryFails", "startError", "stopWithErrorAt", "stopErrorMessage",
                                       "screenEvery", "displays", "preflight", "request"}),
                    "system.");
  SystemScript s;
  if (j.contains("format")) s.format = formatFromJson(j["format"], s.format);
  s.signal = signalFromJson(j, s.signal);
  s.bufferFrames = j.value("bufferFrames", s.bufferFrames);
  s.ppm = j.value("ppm", s.ppm);
  s.jitterMs = j.value("jitterMs", s.jitterMs);
  s.seed = j.value("seed", s.seed);
  s.noTimestamps = j.value("noTimestamps", s.noTimestamps);
  s.queryFails = j.value("queryFails", s.queryFails);
  if (j.contains("startError")) s.startError = j["startError"].get<std::string>();
  if (j.contains("stopWithErrorAt")) s.stopWithErrorAtSeconds = j["stopWithErrorAt"].get<double>();
  s.stopErrorMessage = j.value("stopErrorMessage", s.stopErrorMessage);
  s.screenEvery = j.value("screenEvery", s.screenEvery);
  // The permission and display keys also exist at the top level, for older scenarios.
  scenario.displays = j.value("displays", scenario.displays);
  scenario.screenAllowed = j.value("preflight", scenario.screenAllowed);
  scenario.screenRequestAnswer = j.value("request", scenario.screenRequestAnswer);
  return s;
}

DiskScript diskFromJson(const json& j) {
  rejectUnknownKeys(j, {"failAfterWrites", "failCount", "errorCode", "errorDomain", "errorMessage",
                        "stallSeconds", "stallAfterWrites", "releaseAfterSeconds", "releaseFile",
                        "createError"},
                    "disk.");
  DiskScript d;
  d.failAfterWrites = j.value("failAfterWrites", d.failAfterWrites);
  if (j.contains("failCount")) {
    const json& count = j["failCount"];
    d.failCount = count.is_string() && count.get<std::string>() == "forever" ? -1 : count.get<int64_t>();
  }
  d.errorCode = j.value("errorCode", d.errorCode);
  d.errorDomain = j.value("errorDomain", d.errorDomain);
  d.errorMessage = j.value("errorMessage", d.errorMessage);
  d.stallSeconds = j.value("stallSeconds", d.stallSeconds);
  if (j.contains("stallAfterWrites")) {
    const json& after = j["stallAfterWrites"];
    if (after.is_array()) d.stallAfterWrites = after.get<std::vector<int64_t>>();
    else d.stallAfterWrites = {after.get<int64_t>()};
  }
  d.releaseAfterSeconds = j.value("releaseAfterSeconds", d.releaseAfterSeconds);
  d.releaseFile = j.value("releaseFile", d.releaseFile);
  if (j.contains("createError")) d.createError = j["createError"].get<std::string>();
  return d;
}

}  // namespace

bool DiskScript::scripted() const {
  return failAfterWrites >= 0 || stallSeconds > 0 || !stallAfterWrites.empty() || createError.has_value();
}

Scenario Scenario::fromJson(const json& j) {
  rejectUnknownKeys(j, {"microphoneStatus", "microphoneRequestAnswer", "microphoneRequestDelaySeconds",
                        "screenAllowed", "screenRequestAnswer", "displays", "speed", "mic", "system", "disk"},
                    "");
  Scenario s;
  s.microphoneStatus = j.value("microphoneStatus", s.microphoneStatus);
  s.microphoneRequestAnswer = j.value("microphoneRequestAnswer", s.microphoneRequestAnswer);
  s.microphoneRequestDelaySeconds = j.value("microphoneRequestDelaySeconds", s.microphoneRequestDelaySeconds);
  s.screenAllowed = j.value("screenAllowed", s.screenAllowed);
  s.screenRequestAnswer = j.value("screenRequestAnswer", s.screenRequestAnswer);
  s.displays = j.value("displays", s.displays);
  s.speed = j.value("speed", s.speed);
  if (!(s.speed > 0)) throw std::invalid_argument("speed must be positive");
  if (j.contains("mic")) s.mic = micFromJson(j["mic"]);
  if (j.contains("system")) s.system = systemFromJson(j["system"], s);
  if (j.contains("disk")) {
    const json& disk = j["disk"];
    if (disk.contains("mic") || disk.contains("system")) {
      rejectUnknownKeys(disk, {"mic", "system"}, "disk.");
      if (disk.contains("mic")) s.micDisk = diskFromJson(disk["mic"]);
      if (disk.contains("system")) s.systemDisk = diskFromJson(disk["system"]);
    } else {
      s.micDisk = s.systemDisk = diskFromJson(disk);
    }
  }
  return s;
}

}  // namespace orvane::sim
