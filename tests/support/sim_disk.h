// SimTrackFile: a real temporary track behind a scripted disk that can fail
// writes, slow every write down, or block a write until it is released.
#pragma once

#include <atomic>
#include <memory>

#include "platform/audio_file.h"
#include "support/sim_scenario.h"

namespace orvane::sim {

class SimTrackFile : public AudioFile {
 public:
  SimTrackFile(std::shared_ptr<AudioFile> file, const DiskScript& script) : file_(std::move(file)), script_(script) {}

  const AudioFormat& processingFormat() const override { return file_->processingFormat(); }
  int64_t length() const override { return file_->length(); }
  // Writer queue: may sleep or block as scripted before it writes or fails.
  Status write(const PcmBuffer& buffer) override;
  Status read(PcmBuffer& into, uint32_t frameCount) override { return file_->read(into, frameCount); }
  Status sync() override { return file_->sync(); }

  int64_t writeCalls() const { return writes_; }

 private:
  void blockUntilReleased() const;

  std::shared_ptr<AudioFile> file_;
  const DiskScript& script_;
  std::atomic<int64_t> writes_{0};
};

// Creates the track as the product does, behind `script` when it scripts anything.
Result<std::shared_ptr<AudioFile>> createSimTrackFile(const std::string& path, const AudioSettings& settings,
                                                      const DiskScript& script);

}  // namespace orvane::sim
