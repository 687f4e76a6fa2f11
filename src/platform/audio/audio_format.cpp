// Sample-type sizes and names, and the readable form of a format.
#include "platform/audio/audio_format.h"

#include <cstdio>

namespace orvane {

size_t bytesPerSample(SampleType type) {
  switch (type) {
    case SampleType::float32: return 4;
    case SampleType::float64: return 8;
    case SampleType::int16: return 2;
    case SampleType::int32: return 4;
    case SampleType::uint8: return 1;
  }
  return 0;
}

namespace {

const char* sampleTypeName(SampleType type) {
  switch (type) {
    case SampleType::float32: return "float32";
    case SampleType::float64: return "float64";
    case SampleType::int16: return "int16";
    case SampleType::int32: return "int32";
    case SampleType::uint8: return "uint8";
  }
  return "?";
}

}  // namespace

std::string AudioFormat::describe() const {
  char text[128];
  std::snprintf(text, sizeof text, "%g Hz, %u ch, %s, %s", sampleRate, channelCount,
                sampleTypeName(sampleType), interleaved ? "interleaved" : "planar");
  return text;
}

}  // namespace orvane
