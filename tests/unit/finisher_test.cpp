// The finisher against the stop-time interleave on the same growing tracks,
// and its ways of giving up.
#include <chrono>
#include <fstream>
#include <thread>

#include "finalize/finisher.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

// Tracks appended to in uneven blocks while a finisher reads them.
class FinisherTest : public testing::Test {
 protected:
  void SetUp() override {
    for (auto* track : {&mic, &sys}) {
      *track = *AudioFile::createForWriting(*track == mic ? dir / "rec.mic.caf" : dir / "rec.sys.caf",
                                            linearPCM16Settings(48000, 1));
    }
    micBlock = PcmBuffer::create(AudioFormat::standard(48000, 1), 7777);
  }

  // Appends `frames` frames of a noise-like signal, different per track.
  void append(std::shared_ptr<AudioFile>& track, int64_t frames) {
    for (int64_t done = 0; done < frames; done += 7777) {
      const auto n = static_cast<uint32_t>(std::min<int64_t>(7777, frames - done));
      const int64_t at = track->length();
      for (uint32_t i = 0; i < n; ++i) {
        micBlock->floatChannelData(0)[i] = static_cast<float>(((at + i) * (track == mic ? 7919 : 104729)) % 65536) /
                                               32768.0f - 1.0f;
      }
      micBlock->setFrameLength(n);
      ASSERT_FALSE(track->write(*micBlock));
    }
  }

  std::unique_ptr<Finisher> finisher(Finisher::CreateOutput create = {}) {
    return std::make_unique<Finisher>(out, own, linearPCM16Settings(48000, 2), dir / "rec.mic.caf",
                                      dir / "rec.sys.caf", [] { return Finisher::StartTimes{10.0, 10.25}; },
                                      std::move(create));
  }

  std::optional<TrackSource> source(const char* name, double start) { return TrackSource{dir / name, start}; }

  static void waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 200 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }

  static std::string bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  ScratchDir dir;
  std::string out = dir / "rec.wav", own = dir / "rec.finishing.wav";
  std::shared_ptr<AudioFile> mic, sys;
  std::unique_ptr<PcmBuffer> micBlock;
};

TEST_F(FinisherTest, WrittenWhileRecordingTheOutputIsTheStopTimeInterleaveByteForByte) {
  append(mic, 300000);
  append(sys, 250000);
  auto running = finisher();
  running->start();
  waitFor([&] { return running->framesWritten() > 0; });
  const int64_t whileRecording = running->framesWritten();
  EXPECT_GT(whileRecording, 150000) << "it keeps up, a second behind";
  append(mic, 100000);
  append(sys, 170001);  // the system track ends last: the microphone is continued as silence
  mic->close();
  sys->close();
  InterleaveOutcome outcome;
  std::optional<int64_t> frames = running->finish(source("rec.mic.caf", 10.0), source("rec.sys.caf", 10.25), outcome);
  ASSERT_TRUE(frames);
  EXPECT_FALSE(std::filesystem::exists(own));
  EXPECT_EQ(outcome.mic, TrackRead::clean);

  InterleaveOutcome reference;
  auto made = interleaveTracks(source("rec.mic.caf", 10.0), source("rec.sys.caf", 10.25), dir / "ref.wav",
                               outputSettings(true), reference);
  ASSERT_TRUE(made);
  EXPECT_EQ(*frames, *made);
  EXPECT_EQ(*frames, 12000 + 420001) << "the microphone's lead, then the longer track";
  EXPECT_TRUE(bytes(out) == bytes(dir / "ref.wav")) << "the same file as the stop-time path's";
}

// A write that fails (a full disk) stops it at once and removes its file;
// heads that are not the ones it began from, or a finisher that never began,
// leave the output to the stop. Each says why in one line, and leaves nothing.
TEST_F(FinisherTest, AFailedWriteOrOtherHeadsLeaveTheOutputToTheStop) {
  class FullDisk : public AudioFile {
   public:
    const AudioFormat& processingFormat() const override { return format_; }
    int64_t length() const override { return 0; }
    Status write(const PcmBuffer&) override { return posixError(ENOSPC, "cannot write"); }
    Status read(PcmBuffer&, uint32_t) override { return std::nullopt; }
    Status sync() override { return std::nullopt; }
    Status close() override { return std::nullopt; }
    AudioFormat format_ = AudioFormat::standard(48000, 2);
  };
  append(mic, 200000);
  append(sys, 200000);
  bool made = false;
  auto failing = finisher([&](const std::string& path) -> Result<std::shared_ptr<AudioFile>> {
    std::ofstream(path) << "partial";
    made = true;
    return std::shared_ptr<AudioFile>(std::make_shared<FullDisk>());
  });
  failing->start();
  waitFor([&] { return made && !std::filesystem::exists(own); });
  EXPECT_FALSE(std::filesystem::exists(own)) << "removed at the failure, not at the stop";
  InterleaveOutcome outcome;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(failing->finish(source("rec.mic.caf", 10.0), source("rec.sys.caf", 10.25), outcome));

  auto moved = finisher();
  moved->start();
  waitFor([&] { return moved->framesWritten() > 0; });
  EXPECT_FALSE(moved->finish(source("rec.mic.caf", 10.0), source("rec.sys.caf", 10.5), outcome));
  EXPECT_FALSE(finisher()->finish(source("rec.mic.caf", 10.0), source("rec.sys.caf", 10.25), outcome));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[orvane-capture] finisher: its write failed: cannot write: No space left on device; "
            "the output is made at the stop\n"
            "[orvane-capture] finisher: the stop reads other tracks or heads; the output is made at the stop\n"
            "[orvane-capture] finisher: it had not begun; the output is made at the stop\n");
  EXPECT_FALSE(std::filesystem::exists(own));
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
}  // namespace orvane
