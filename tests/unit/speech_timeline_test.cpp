// The speech timeline on synthetic voices: syllables of noise at the pace of
// speech, the far end's echo in the microphone through a delay and a gain.
#include "finalize/speech_timeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace orvane {
namespace {

constexpr int kRate = 48000;

// Syllables of noise (120-200 ms, each at its own loudness, rising and
// falling as a half sine) with 40 ms between them, from `from` to `to`
// seconds.
void speak(std::vector<float>& into, double from, double to, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> noise(-1, 1), loudness(0.1f, 0.5f), length(0.12f, 0.2f);
  for (double at = from; at < to;) {
    const double end = std::min(to, at + length(random));
    const float level = loudness(random);
    const auto first = static_cast<size_t>(at * kRate), last = static_cast<size_t>(end * kRate);
    for (size_t i = first; i < last; ++i) {
      into[i] += level * noise(random) * static_cast<float>(std::sin(M_PI * double(i - first) / double(last - first)));
    }
    at = end + 0.04;
  }
}

struct Conversation {
  std::vector<float> mic, system;
};

// `seconds` of the far end speaking its spans and the near end its own (in
// seconds, each span a voice of its own). The microphone hears the far end
// `echoFrames(frame)` later at -10 dB, or not at all where that is none; both
// have a faint noise floor.
using Spans = std::vector<std::pair<double, double>>;
Conversation conversation(int seconds, const Spans& far, const Spans& near,
                          const std::function<std::optional<size_t>(size_t)>& echoFrames) {
  Conversation c{std::vector<float>(seconds * kRate), std::vector<float>(seconds * kRate)};
  unsigned voice = 0;
  for (const auto& [from, to] : far) speak(c.system, from, to, ++voice);
  for (const auto& [from, to] : near) speak(c.mic, from, to, ++voice);
  std::mt19937 random(5);
  std::uniform_real_distribution<float> hiss(-1e-4f, 1e-4f);
  for (size_t i = c.mic.size(); i-- > 0;) {
    const std::optional<size_t> delay = echoFrames(i);
    if (delay && i >= *delay) c.mic[i] += 0.316f * c.system[i - *delay];
    c.mic[i] += hiss(random);
    c.system[i] += hiss(random);
  }
  return c;
}

// 13 s: the far end speaks 2-6 s and 9-12 s, the near end 7-8.5 s and, over
// the far end, 10-11.5 s, heard 60 ms late.
Conversation conversation(bool echo = true) {
  return conversation(13, {{2, 6}, {9, 12}}, {{7, 8.5}, {10, 11.5}}, [echo](size_t) {
    return echo ? std::optional<size_t>(kRate * 60 / 1000) : std::nullopt;
  });
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

// 16 s over an echo path that moves from 60 to 120 ms at 9.5 s, in the middle
// of the far end's second line (as a loopback raises its latency under load),
// and jitters by up to 3 ms either way every 100 ms. The far end speaks 2-6 s
// and 8-13 s; the near end 7-7.8 s before the move, and after it 11-12 s over
// the far end and 14-15 s alone.
Conversation movedEchoPath() {
  std::mt19937 random(6);
  std::uniform_int_distribution<int> jitter(-3 * kRate / 1000, 3 * kRate / 1000);
  std::vector<size_t> delays;
  for (size_t i = 0; i < 16 * kRate; i += kRate / 10) delays.push_back((i < 9.5 * kRate ? 60 : 120) * kRate / 1000 + jitter(random));
  return conversation(16, {{2, 6}, {8, 13}}, {{7, 7.8}, {11, 12}, {14, 15}},
                      [&delays](size_t i) { return std::optional<size_t>(delays[i / (kRate / 10)]); });
}

TEST(SpeechTimeline, AnEchoPathThatMovesIsFollowedAndItsEchoIsNotTheMicrophonesSpeech) {
  const Conversation c = movedEchoPath();
  SpeechTimeline timeline;
  feed(timeline, c, 0, c.mic.size());
  const SpeechTimeline::Seconds mic = timeline.micSpeech();
  // The far end alone (its echo's tail included), away from the near end:
  // hardly any of it may count as the microphone's.
  int farAlone = 0, counted = 0;
  for (double t = 2.005; t < 13.3; t += 0.01) {
    if ((t > 6.3 && t < 8) || (t > 10.85 && t < 12.15)) continue;
    ++farAlone;
    counted += std::any_of(mic.begin(), mic.end(), [t](const auto& span) { return span.first <= t && t < span.second; });
  }
  EXPECT_LE(counted, farAlone / 50) << counted << " of " << farAlone << " blocks";
  expectSpans(mic, {{7, 7.8}, {11, 12}, {14, 15}});
  expectSpans(timeline.systemSpeech(), {{2, 6}, {8, 13}});
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
