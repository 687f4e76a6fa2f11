// The head-alignment decision: offset bounds, lead length and its diagnostic.
#include "finalize/head_align.h"

#include <cmath>
#include <cstdio>

namespace orvane {
namespace {

std::string formatLine(const char* format, double milliseconds) {
  char line[128];
  std::snprintf(line, sizeof line, format, milliseconds);
  return line;
}

}  // namespace

HeadAlignment planHeadAlignment(std::optional<double> micStartSeconds, std::optional<double> sysStartSeconds,
                                double sampleRate) {
  HeadAlignment plan;
  if (!micStartSeconds || !sysStartSeconds) return plan;
  // Positive: system audio started after the microphone, so the microphone leads.
  const double offset = *sysStartSeconds - *micStartSeconds;
  const double magnitude = std::fabs(offset);
  if (magnitude < kMinHeadOffsetSeconds || magnitude > kMaxHeadOffsetSeconds) {
    plan.diagnostic = formatLine("head-align: start offset %.1f ms (skipped)", offset * 1000);
    return plan;
  }
  plan.diagnostic = formatLine("head-align: system vs mic start %.1f ms; prepending lead", offset * 1000);
  plan.frames = std::llround(magnitude * sampleRate);  // halves away from zero
  if (plan.frames >= 1) plan.source = offset > 0 ? LeadSource::mic : LeadSource::system;
  return plan;
}

}  // namespace orvane
