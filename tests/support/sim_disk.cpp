// The scripted disk behind the temporary tracks.
#include "support/sim_disk.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

namespace orvane::sim {

namespace {
constexpr auto kReleasePoll = std::chrono::milliseconds(10);
constexpr int64_t kCreateErrorCode = 13;  // EACCES
}  // namespace

void SimTrackFile::blockUntilReleased() const {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (!script_.releaseFile.empty() && std::filesystem::exists(script_.releaseFile)) return;
    if (script_.releaseAfterSeconds >= 0 &&
        std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(script_.releaseAfterSeconds)) {
      return;
    }
    std::this_thread::sleep_for(kReleasePoll);
  }
}

Status SimTrackFile::write(const PcmBuffer& buffer) {
  const int64_t before = writes_.fetch_add(1);
  if (script_.stallSeconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(script_.stallSeconds));
  const auto& stalls = script_.stallAfterWrites;
  if (std::find(stalls.begin(), stalls.end(), before) != stalls.end()) blockUntilReleased();
  if (script_.failAfterWrites >= 0 && before >= script_.failAfterWrites &&
      (script_.failCount < 0 || before < script_.failAfterWrites + script_.failCount)) {
    return Error{script_.errorDomain, script_.errorCode, script_.errorMessage};
  }
  return file_->write(buffer);
}

Result<std::shared_ptr<AudioFile>> createSimTrackFile(const std::string& path, const AudioSettings& settings,
                                                      const DiskScript& script) {
  if (script.createError) return Error{"posix", kCreateErrorCode, *script.createError};
  auto file = AudioFile::createForWriting(path, settings);
  if (!file || !script.scripted()) return file;
  return std::shared_ptr<AudioFile>(std::make_shared<SimTrackFile>(file.value(), script));
}

}  // namespace orvane::sim
