// A temp track on a disk that fills up: once an append fails, every append
// fails until there is room again, and what was written before stays intact.
// Regression: libsndfile's automatic header update left its position just past
// the header, so later appends "succeeded" by overwriting the track's start and
// the writers never saw ten failures in a row.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/audio_file.h"

namespace orvane {
namespace {

constexpr uint32_t kChunk = 4096;
constexpr rlim_t kFileLimit = 100'000;  // bytes: the "disk" fills after about 1 s of 16-bit mono

// Each chunk holds its own index as a constant sample value, so a chunk that
// lands in the wrong place is seen on reading.
float chunkValue(int index) { return static_cast<float>(index + 1) / 64.0f; }

// Child: fills the file, then appends 12 more chunks. Exit codes tell the parent what happened.
int fillUntilFull(const std::string& file) {
  signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{kFileLimit, kFileLimit};
  setrlimit(RLIMIT_FSIZE, &limit);
  AudioSettings settings;
  auto created = AudioFile::createForWriting(file, settings);
  if (!created) return 10;
  auto buffer = PcmBuffer::create((*created)->processingFormat(), kChunk);
  buffer->setFrameLength(kChunk);
  int index = 0;
  for (;; ++index) {
    if (index > 100) return 11;  // the limit never bit
    for (uint32_t f = 0; f < kChunk; ++f) buffer->floatChannelData(0)[f] = chunkValue(index);
    if ((*created)->write(*buffer)) break;
  }
  for (int more = 1; more <= 12; ++more) {
    for (uint32_t f = 0; f < kChunk; ++f) buffer->floatChannelData(0)[f] = chunkValue(index + more);
    if (!(*created)->write(*buffer)) return 12;  // an append "succeeded" on a full disk
  }
  return 0;
}

TEST(FullDiskWrite, EveryAppendFailsOnceFullAndTheWrittenFramesStayInPlace) {
  const std::string dir = ::testing::TempDir() + "orvane-full-disk-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  const std::string file = dir + "/track.caf";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(fillUntilFull(file));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "10: not created, 11: never filled, 12: an append on a full disk succeeded";

  auto opened = AudioFile::openForReading(file);
  ASSERT_TRUE(opened) << opened.error().description;
  const int64_t frames = (*opened)->length();
  EXPECT_GT(frames, 40'000);
  auto buffer = PcmBuffer::create((*opened)->processingFormat(), static_cast<uint32_t>(frames));
  ASSERT_FALSE((*opened)->read(*buffer, static_cast<uint32_t>(frames)));
  ASSERT_EQ(buffer->frameLength(), frames);
  for (int64_t f = 0; f < frames; f += 997) {
    ASSERT_NEAR(buffer->floatChannelData(0)[f], chunkValue(static_cast<int>(f / kChunk)), 1e-3) << "frame " << f;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orvane
