// The finisher while recording against the finisher on the ended tracks (a
// recovery, or the output made afresh), and its ways of giving up.
#include <atomic>
#include <cmath>
#include <sstream>

#include "finalize/drift.h"
#include "finalize/finisher.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

// The finisher reading the tracks while they grow.
class FinisherTest : public GrowingTracksTest {
 protected:
  std::unique_ptr<Finisher> finisher(Finisher::CreateOutput create = {}, const std::string& ext = "wav",
                                     bool cancelEcho = false, bool speech = false) {
    return std::make_unique<Finisher>(dir / ("rec." + ext), dir / ("rec.finishing." + ext),
                                      outputSettings(ext == "wav"), dir / "rec.mic.caf",
                                      dir / "rec.sys.caf", [this] {
                                        return Finisher::Timelines{timeline(10.0, micPpm), timeline(10.25, systemPpm)};
                                      },
                                      std::move(create), cancelEcho, speech);
  }

  std::optional<TrackSource> source(const char* name, double start) { return TrackSource{dir / name, start}; }
  // The stop's word to `f`: the ended tracks, the system's head at `systemStart`, and the final ratios.
  bool ready(Finisher& f, double micRatio = 1, double systemRatio = 1, double systemStart = 10.25) {
    return f.ready(source("rec.mic.caf", 10.0), source("rec.sys.caf", systemStart), micRatio, systemRatio);
  }

  // A timeline measured over 200 s at `ppm` off nominal.
  static TrackTimeline timeline(double start, double ppm) {
    return {start, 0, start + 200, std::llround(200 * 48000 * (1 + ppm * 1e-6)), start};
  }

  // Closes both tracks and finishes with the final ratios.
  std::optional<int64_t> finish(Finisher& finisher, double micRatio = 1, double systemRatio = 1) {
    mic->close();
    sys->close();
    InterleaveOutcome outcome;
    if (!ready(finisher, micRatio, systemRatio)) return {};
    Result<int64_t> frames = finisher.finish(outcome);
    return frames ? std::optional(*frames) : std::nullopt;
  }

  // The output made afresh from the ended tracks at the final ratios, at `path`.
  Result<int64_t> afresh(const std::string& path, double micRatio = 1, double systemRatio = 1, bool speech = false) {
    InterleaveOutcome outcome;
    return finishEndedTracks(source("rec.mic.caf", 10.0), source("rec.sys.caf", 10.25), micRatio, systemRatio, path,
                             outputSettings(path.ends_with(".wav")), outcome, true, false, speech);
  }

  // The nice value of each thread named "finisher".
  static std::vector<int> finisherNices() {
    std::vector<int> nices;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      if (bytesOf(task.path() / "comm") != "finisher\n") continue;
      const std::string stat = bytesOf(task.path() / "stat");
      std::istringstream fields(stat.substr(stat.rfind(')') + 2));
      std::string field;
      for (int i = 3; i <= 19 && fields >> field; ++i) {}
      nices.push_back(std::stoi(field));
    }
    return nices;
  }

  std::string out = dir / "rec.wav", own = dir / "rec.finishing.wav";
  double micPpm = 0, systemPpm = 0;  // as measured so far
};

TEST_F(FinisherTest, WrittenWhileRecordingTheOutputIsTheOneMadeAfreshByteForByte) {
  append(mic, 300000);
  append(sys, 250000);
  auto running = finisher(), aac = finisher({}, "m4a");
  running->start();
  aac->start();
  EXPECT_TRUE(waitFor([&] { return running->framesWritten() > 150000 && aac->framesWritten() > 150000; }))
      << "they keep up, a second behind";
  EXPECT_TRUE(waitFor([] { return finisherNices() == std::vector<int>{19, 19}; }))
      << "caught up, they take the lowest priority";
  append(mic, 600000, 600000);  // at once: no finisher keeps up with it
  append(sys, 670001, 670001);  // the system track ends last: the microphone is continued as silence
  EXPECT_TRUE(waitFor([] { return finisherNices().empty(); })) << "far behind at the lowest priority, their threads end";
  running->poll();
  aac->poll();
  EXPECT_TRUE(waitFor([&] { return running->framesWritten() > 800000 && aac->framesWritten() > 800000; }))
      << "started again, they catch up";
  std::optional<int64_t> frames = finish(*running);
  ASSERT_TRUE(frames);
  EXPECT_FALSE(std::filesystem::exists(own));

  auto made = afresh(dir / "ref.wav");
  ASSERT_TRUE(made);
  EXPECT_EQ(*frames, *made);
  EXPECT_EQ(*frames, 12000 + 920001) << "the microphone's lead, then the longer track";
  EXPECT_TRUE(bytesOf(out) == bytesOf(dir / "ref.wav")) << "the same file as the one made afresh";
  std::filesystem::remove(out);
  EXPECT_EQ(finish(*finisher()), made.value()) << "never started, as a recovery: all of it at the stop";
  EXPECT_TRUE(bytesOf(out) == bytesOf(dir / "ref.wav"));

  // AAC: the same encoder fed the same frames, its packets in their container as they came.
  EXPECT_EQ(finish(*aac), made.value());
  ASSERT_TRUE(afresh(dir / "ref.m4a"));
  EXPECT_FALSE(std::filesystem::exists(dir / "rec.finishing.m4a"));
  const auto ours = decode(dir / "rec.m4a"), theirs = decode(dir / "ref.m4a");
  EXPECT_GT(ours.size(), 2u * static_cast<size_t>(*made));
  EXPECT_TRUE(ours == theirs) << "decodes to the single pass's samples, to its length";
}

double rms(const std::vector<float>& a, const std::vector<float>& b, size_t first, size_t count) {
  double sum = 0;
  for (size_t i = first; i < first + count; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum / static_cast<double>(count));
}

// The microphone's clock moved: measured at +80 ppm while recording, +104 at
// the stop. Its spans up to 20 s lie within 0.5 ms of the final measurement
// and are kept; from there on the output is made again, in the WAV by
// cutting the file back, in the AAC by a new encoder from a pre-roll before
// the cut. A measurement that moved further has it all made afresh.
TEST_F(FinisherTest, AClockThatMovedIsMadeAgainFromTheFirstSpanTooFarOff) {
  clicks = true;
  micPpm = 80, systemPpm = -60;
  append(mic, 1400000);
  append(sys, 1400000);
  auto wav = finisher(), aac = finisher({}, "m4a");
  wav->start();
  aac->start();
  ASSERT_TRUE(waitFor([&] { return wav->framesWritten() > 1300000 && aac->framesWritten() > 1300000; }, 60))
      << "both made their spans at +80 ppm past 20 s";
  append(mic, 50000);
  append(sys, 50000);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(finish(*wav, 1 + 104e-6, 1 - 60e-6));
  ASSERT_TRUE(finish(*aac, 1 + 104e-6, 1 - 60e-6));
  for (const char* ext : {"wav", "m4a"}) ASSERT_TRUE(afresh(dir / (std::string("ref.") + ext), 1 + 104e-6, 1 - 60e-6));
  const std::string said = testing::internal::GetCapturedStderr(),
                    redo = "finisher: its frames from 20.0 s on are made again from the final drift measurement\n";
  EXPECT_NE(said.find(redo), said.rfind(redo)) << said << "in each output";
  // Both channels, corrected while recording at the rates measured so far: every click within 0.5 ms of where
  // the output made afresh at the final ratios puts it.
  const auto ours = readAll(out), theirs = readAll(dir / "ref.wav");
  ASSERT_EQ(ours[0].size(), theirs[0].size()) << "the corrected length";
  for (size_t channel : {0u, 1u}) {
    const auto a = onsets(ours[channel]), b = onsets(theirs[channel]);
    ASSERT_EQ(a.size(), b.size());
    ASSERT_GE(a.size(), 40u);
    for (size_t k = 0; k < a.size(); ++k) EXPECT_LE(std::abs(a[k] - b[k]), 24) << channel << " click " << k;
    if (channel == 0) {
      EXPECT_NE(std::abs(a[27] - b[27]), 0) << "kept: made at +80 ppm";
    }
  }
  EXPECT_TRUE(std::equal(ours[0].begin() + 960000, ours[0].end(), theirs[0].begin() + 960000))
      << "made again: the frames made afresh";

  // Against the PCM it was made from, the AAC is as close as the single pass
  // is to its own, over the whole and around the cut (frame 959488).
  const auto aacOurs = decode(dir / "rec.m4a"), aacTheirs = decode(dir / "ref.m4a");
  ASSERT_EQ(aacOurs.size(), aacTheirs.size()) << "the exact length";
  std::vector<float> pcmOurs(aacOurs.size()), pcmTheirs(aacOurs.size());
  for (size_t i = 0; i < ours[0].size(); ++i) {
    pcmOurs[2 * i] = ours[0][i], pcmOurs[2 * i + 1] = ours[1][i];
    pcmTheirs[2 * i] = theirs[0][i], pcmTheirs[2 * i + 1] = theirs[1][i];
  }
  EXPECT_LE(rms(aacOurs, pcmOurs, 0, aacOurs.size()), 1.25 * rms(aacTheirs, pcmTheirs, 0, aacOurs.size()));
  EXPECT_LE(rms(aacOurs, pcmOurs, 2 * 950000, 40000), 1.25 * rms(aacTheirs, pcmTheirs, 2 * 950000, 40000));

  testing::internal::CaptureStderr();
  auto early = finisher();
  early->start();
  waitFor([&] { return early->framesWritten() > 1000000; });
  EXPECT_FALSE(ready(*early, 1 + 20e-6, 1 - 60e-6));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[orvane-capture] finisher: its frames from 0.0 s on lie over 0.5 ms from the final drift measurement; "
            "the output is made from the tracks afresh\n");
}

// A write that fails (a full disk) stops it at once and removes its file;
// heads that are not the ones it began from have the output made afresh from
// the ended tracks. Each says why in one line, and leaves nothing of its own.
// (A finisher that never began: the reliability suite's folder renamed.)
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
  std::atomic<bool> made{false};  // set on the finisher's thread
  auto failing = finisher([&](const std::string& path) -> Result<std::shared_ptr<AudioFile>> {
    std::ofstream(path) << "partial";
    made = true;
    return std::shared_ptr<AudioFile>(std::make_shared<FullDisk>());
  });
  failing->start();
  EXPECT_TRUE(waitFor([&] { return made && !std::filesystem::exists(own); })) << "removed at the failure, not at the stop";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ready(*failing));

  auto moved = finisher();
  moved->start();
  waitFor([&] { return moved->framesWritten() > 0; });
  EXPECT_FALSE(ready(*moved, 1, 1, 10.5));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[orvane-capture] finisher: its write failed: cannot write: No space left on device; "
            "the output is made from the tracks afresh\n"
            "[orvane-capture] finisher: the stop reads other tracks or heads; the output is made from the tracks afresh\n");
  EXPECT_FALSE(std::filesystem::exists(own));
  EXPECT_FALSE(std::filesystem::exists(out));

  mic->close();
  sys->close();
  InterleaveOutcome outcome;
  testing::internal::CaptureStderr();
  Result<int64_t> whole = moved->finish(outcome);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[orvane-capture] head-align: system vs mic start 500.0 ms; prepending lead\n");
  ASSERT_TRUE(whole) << whole.error().description;
  EXPECT_EQ(*whole, 24000 + 200000) << "afresh, from the heads the stop found";
  EXPECT_EQ(readAll(out)[0].size(), 224000u);
  EXPECT_FALSE(std::filesystem::exists(own));
  EXPECT_FALSE(std::filesystem::exists(dir / "rec.partial.wav"));
}

// The speech timeline follows the output into place, the same whether the
// finisher made the output while recording or from the ended tracks; none is
// written without the option, or without an output (said).
TEST_F(FinisherTest, TheSpeechTimelineFollowsTheOutputIntoPlace) {
  bursts = true;
  append(mic, 300000);
  append(sys, 300000);
  auto running = finisher({}, "wav", false, true);
  running->start();
  ASSERT_TRUE(waitFor([&] { return running->framesWritten() > 150000; })) << "made while recording";
  append(mic, 100000);
  append(sys, 100000);
  ASSERT_TRUE(finish(*running));
  const std::string timeline = bytesOf(dir / "rec.speech.json");
  EXPECT_TRUE(timeline.starts_with("{\"version\": 1, \"mic\": [[0.000, 0.500], [1.500, 2.000], ")) << timeline;
  EXPECT_NE(timeline.find("\"system\": [[0.750, 1.250], [2.250, 2.750], "), std::string::npos) << timeline;
  EXPECT_FALSE(std::filesystem::exists(dir / "rec.speech.partial.json"));
  ASSERT_TRUE(afresh(dir / "ref.wav", 1, 1, true));
  EXPECT_EQ(bytesOf(dir / "ref.speech.json"), timeline);

  std::filesystem::remove(dir / "rec.speech.json");
  ASSERT_TRUE(finish(*finisher()));
  EXPECT_FALSE(std::filesystem::exists(dir / "rec.speech.json")) << "not asked for";

  InterleaveOutcome outcome;
  testing::internal::CaptureStderr();
  Result<int64_t> none = finishEndedTracks(std::nullopt, std::nullopt, 1, 1, dir / "empty.wav", outputSettings(true),
                                           outcome, false, false, true);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[orvane-capture] speech timeline: none is written, as no output was made\n");
  ASSERT_TRUE(none);
  EXPECT_EQ(*none, 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "empty.speech.json"));
}

}  // namespace
}  // namespace orvane
