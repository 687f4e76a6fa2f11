// The fields of one track's write path, gathered by reference so that the
// microphone and the system track run the same code.
#pragma once

#include "recorder/recorder.h"

namespace orvane {

struct Recorder::TrackRefs {
  bool isMic;
  const char* name;              // in diagnostics and the disk-failure report
  const char* backpressureLine;
  std::vector<std::unique_ptr<PcmBuffer>>& pool;
  int64_t& poolIdx;
  std::mutex& slotLock;
  std::array<bool, kSlotCount>& slotInFlight;
  bool& backpressureWarned;
  std::unique_ptr<AudioConverter>& converter;
  std::optional<AudioFormat>& converterInputFormat;
  SerialQueue& writerQueue;
  std::optional<double>& startSeconds;
  std::atomic<int64_t>& framesWritten;
  int64_t& startFrames;
  int64_t& lastFrames;
  std::optional<double>& lastHostSeconds;
  int64_t& realignApplied;
  int64_t& writeFailureCount;
};

}  // namespace orvane
