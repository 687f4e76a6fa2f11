// The speech timeline on synthetic voices: syllables of noise at the pace of
// speech, the far end's echo in the microphone through a delay and a gain.
#include "finalize/speech_timeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace orvane {
namespace {

constexpr int kRate = 48000;

// Syllables of noise (120-200 ms, each at its own loudness) with 40 ms
// between them, from `from` to `to` seconds.
void speak(std::vector<float>& into, double from, double to, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> noise(-1, 1), loudness(0.1f, 0.5f), length(0.12f, 0.2f);
  for (double at = from; at < to;) {
    const double end = std::min(to, at + length(random));
    const float level = loudness(random);
    for (auto i = static_cast<size_t>(at * kRate); i < static_cast<size_t>(end * kRate); ++i) {
      into[i] += level * noise(random);
    }
    at = end + 0.04;
  }
}

struct Conversation {
  std::vector<float> mic, system;
};

// 13 s: the far end speaks 2-6 s and 9-12 s, the near end 7-8.5 s and, over
// the far end, 10-11.5 s. The microphone hears the far end 60 ms late at
// -10 dB; both have a faint noise floor.
Conversation conversation(bool echo = true) {
  Conversation c{std::vector<float>(13 * kRate), std::vector<float>(13 * kRate)};
  speak(c.system, 2, 6, 1);
  speak(c.system, 9, 12, 2);
  speak(c.mic, 7, 8.5, 3);
  speak(c.mic, 10, 11.5, 4);
  std::mt19937 random(5);
  std::uniform_real_distribution<float> hiss(-1e-4f, 1e-4f);
  constexpr size_t kDelay = kRate * 60 / 1000;
  for (size_t i = c.mic.size(); i-- > 0;) {
    if (echo && i >= kDelay) c.mic[i] += 0.316f * c.system[i - kDelay];
    c.mic[i] += hiss(random);
    c.system[i] += hiss(random);
  }
  return c;
}

// Fed as the output is written: in chunks of up to 8192 frames.
void feed(SpeechTimeline& timeline, const Conversation& c, size_t from, size_t to,
          std::optional<double> delayMs = std::nullopt) {
  for (size_t at = from; at < to; at += 8192) {
    const auto frames = static_cast<uint32_t>(std::min<size_t>(8192, to - at));
    timeline.add(c.mic.data() + at, c.system.data() + at, frames, static_cast<int64_t>(at), delayMs);
  }
}

void expectSpans(const SpeechTimeline::Seconds& found, const SpeechTimeline::Seconds& truth) {
  std::string spans;
  for (const auto& [start, end] : found) spans += " " + std::to_string(start) + "-" + std::to_string(end);
  ASSERT_EQ(found.size(), truth.size()) << spans;
  for (size_t i = 0; i < truth.size(); ++i) {
    EXPECT_NEAR(found[i].first, truth[i].first, 0.05) << i;
    EXPECT_NEAR(found[i].second, truth[i].second, 0.1) << i;  // the echo's tail may lengthen a span
  }
}

TEST(SpeechTimeline, FarEndEchoIsNotTheMicrophonesSpeechAndDoubleTalkCountsForBoth) {
  const Conversation c = conversation();
  // The delay found from the two channels, or handed over by the echo canceller.
  for (std::optional<double> delayMs : {std::optional<double>{}, std::optional<double>{60.0}}) {
    SpeechTimeline timeline;
    feed(timeline, c, 0, c.mic.size(), delayMs);
    expectSpans(timeline.systemSpeech(), {{2, 6}, {9, 12}});
    expectSpans(timeline.micSpeech(), {{7, 8.5}, {10, 11.5}});
  }
}

// The file's format, spans and all: FinisherTest.TheSpeechTimelineFollowsTheOutputIntoPlace.
TEST(SpeechTimeline, WithoutAFarEndEveryVoiceIsTheMicrophones) {
  EXPECT_EQ(SpeechTimeline().json(), "{\"version\": 1, \"mic\": [], \"system\": []}\n");
  Conversation c = conversation(false);
  std::fill(c.system.begin(), c.system.end(), 0.0f);
  SpeechTimeline timeline;
  feed(timeline, c, 0, c.mic.size());
  expectSpans(timeline.micSpeech(), {{7, 8.5}, {10, 11.5}});
  EXPECT_TRUE(timeline.systemSpeech().empty());
}

TEST(SpeechTimeline, FramesGivenAgainAfterARewindAreNotTakenTwice) {
  const Conversation c = conversation();
  SpeechTimeline straight, again;
  feed(straight, c, 0, c.mic.size());
  feed(again, c, 0, 8 * kRate);
  const Conversation silent{std::vector<float>(c.mic.size()), std::vector<float>(c.mic.size())};
  feed(again, silent, 5 * kRate, 8 * kRate);  // what a remade span would bring: already told
  feed(again, c, 8 * kRate, c.mic.size());
  EXPECT_EQ(again.json(), straight.json());
}

TEST(SpeechSpans, MergesShortPausesDropsBlipsAndKeepsOrder) {
  SpeechSpans spans(25, 8);
  auto speak = [&spans](int64_t from, int64_t to) {
    for (int64_t block = from; block < to; ++block) spans.add(block, true);
  };
  speak(0, 10);    // kept: 10 blocks
  speak(30, 40);   // 20 blocks after: one span with the first
  speak(100, 105);  // 5 blocks alone: a blip, dropped
  speak(200, 204);  // with the next, 8 blocks within the gap: kept
  speak(220, 224);
  spans.add(300, false);
  speak(400, 450);  // still open at the end: kept
  EXPECT_EQ(spans.spans(), (std::vector<SpeechSpans::Span>{{0, 40}, {200, 224}, {400, 450}}));
}

}  // namespace
}  // namespace orvane
