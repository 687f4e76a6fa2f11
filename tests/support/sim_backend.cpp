// The scripted backend, and the scripted disk behind the temporary tracks: a
// real track whose writes can fail or block for a while.
#include "support/sim_backend.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "support/sim_clock.h"

namespace orvane::sim {

namespace {

class SimTrackFile : public AudioFile {
 public:
  SimTrackFile(std::shared_ptr<AudioFile> file, const DiskScript& script) : file_(std::move(file)), script_(script) {}

  const AudioFormat& processingFormat() const override { return file_->processingFormat(); }
  int64_t length() const override { return file_->length(); }
  Status read(PcmBuffer& into, uint32_t frameCount) override { return file_->read(into, frameCount); }
  Status sync() override { return file_->sync(); }
  Status close() override { return file_->close(); }
  // On the writer queue: blocks or fails as scripted.
  Status write(const PcmBuffer& buffer) override {
    const int64_t before = writes_++;
    const auto& stalls = script_.stallAfterWrites;
    if (std::find(stalls.begin(), stalls.end(), before) != stalls.end()) {
      std::this_thread::sleep_for(std::chrono::duration<double>(script_.stallSeconds));
    }
    if (script_.failAfterWrites >= 0 && before >= script_.failAfterWrites &&
        (script_.failCount < 0 || before < script_.failAfterWrites + script_.failCount)) {
      return Error{"posix", ENOSPC, "No space left on device"};
    }
    return file_->write(buffer);
  }

 private:
  std::shared_ptr<AudioFile> file_;
  const DiskScript& script_;
  std::atomic<int64_t> writes_{0};
};

Result<std::shared_ptr<AudioFile>> createTrack(const std::string& path, const AudioSettings& settings,
                                               const DiskScript& script) {
  if (!script.createError.empty()) return Error{"posix", EACCES, script.createError};
  auto file = AudioFile::createForWriting(path, settings);
  if (!file || (script.failAfterWrites < 0 && script.stallAfterWrites.empty())) return file;
  return std::shared_ptr<AudioFile>(std::make_shared<SimTrackFile>(file.value(), script));
}

}  // namespace

void SimPermissions::requestMicrophone(std::function<void(bool)> answer) {
  std::thread([answer = std::move(answer), granted = scenario_.microphoneRequestAnswer,
               delay = scenario_.microphoneRequestDelaySeconds] {
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    answer(granted);
  }).detach();
}

SimBackend::SimBackend(Scenario scenario) : scenario_(std::move(scenario)) {
  if (scenario_.speed != 1.0) SimClock::install(scenario_.speed);
}

SimBackend::~SimBackend() {
  if (scenario_.speed != 1.0) SimClock::uninstall();
}

Result<std::shared_ptr<AudioFile>> SimBackend::createTrackFile(const std::string& path,
                                                               const AudioSettings& settings) {
  if (path.ends_with(".mic.caf")) return createTrack(path, settings, scenario_.disk.mic);
  if (path.ends_with(".sys.caf")) return createTrack(path, settings, scenario_.disk.system);
  return AudioFile::createForWriting(path, settings);
}

}  // namespace orvane::sim
