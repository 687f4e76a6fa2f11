// AudioFile: containers by extension, 16-bit and AAC encodings checked with
// ffprobe/ffmpeg/sox, private creation, a full disk, and temp tracks that
// survive a killed writer.
#include <sys/stat.h>

#include <cmath>
#include <sstream>

#include "unit/file_helpers.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

AudioSettings pcm16(uint32_t channels) { return linearPCM16Settings(48000, channels); }
const auto aac = aacSettings;

float tone(int64_t frame, double hz, double amplitude) {
  return static_cast<float>(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(frame) / 48000));
}

unsigned fileMode(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

struct Container { const char *name, *codec, *format; };  // ffprobe's codec_name and sample_fmt, format_name
const char* const kMov = "mov,mp4,m4a,3gp,3g2,mj2";

class Containers : public ::testing::TestWithParam<Container> {};

// Left: with linear PCM a ramp past full scale (clipped, rounded to the nearest step), with AAC silence;
// right: a tone. Linear PCM comes back exactly. AAC keeps the tone, and in the MPEG-4 family the edit list
// hides the encoder's priming and last-frame padding, so the stated length is exactly what was written.
TEST_P(Containers, StereoRoundTripsAndOutsideReadersAgree) {
  ScratchDir dir;
  const std::string file = dir / GetParam().name, decoded = dir / "decoded.wav";
  const bool pcm = std::string(GetParam().codec).starts_with("pcm");
  const bool mpeg4 = !pcm && GetParam().format == std::string(kMov);
  const int64_t frames = 2 * 48000 + 123;  // not a multiple of the 1024-frame AAC frame
  const SampleFn stereo = [pcm](int64_t f, uint32_t ch) {
    return ch == 1 ? tone(f, 1000, 0.5) : pcm ? float((f % 4001) - 2000) / 1900.0f : 0.0f;
  };
  writeFile(file, pcm ? pcm16(2) : aac(2), frames, stereo, 777);
  // One probe (each takes a while): the codec and sample format, rate, channels, time base and length in
  // frames; the container and its duration.
  const std::string facts = probe(file, "stream=codec_name,sample_fmt,sample_rate,channels,time_base,duration_ts:"
                                        "format=format_name,duration");
  const std::string stream = std::string(GetParam().codec) + "\n48000\n2\n";
  ASSERT_TRUE(facts.starts_with(stream)) << facts;
  std::string timeBase, length, format, duration;
  std::istringstream(facts.substr(stream.size())) >> timeBase >> length >> format >> duration;
  EXPECT_EQ(format, GetParam().format);
  if (pcm) {
    EXPECT_NEAR(std::atof(duration.c_str()), frames / 48000.0, 0.0005);
  } else if (mpeg4) {
    EXPECT_EQ(timeBase + " " + length, "1/48000 " + std::to_string(frames));
  }
  EXPECT_EQ(fileMode(file), 0600u);
  std::string head(4, '\0');
  std::ifstream(file, std::ios::binary).read(head.data(), 4);
  EXPECT_TRUE(!file.ends_with(".wav") || head == "RIFF") << "RF64 only when it must";

  ASSERT_NE(run("ffmpeg -v error -y -i '" + file + "' '" + decoded + "'"), "<failed>");
  auto channels = readAll(decoded);
  ASSERT_EQ(channels.size(), 2u);
  // FFmpeg's AAC decoder keeps the last frame's padding, and outside MPEG-4 the priming too.
  EXPECT_GE(channels[0].size(), size_t(frames));
  EXPECT_LT(channels[0].size(), size_t(frames + (pcm ? 1 : mpeg4 ? 1024 : 2048)));
  if (pcm) {
    for (int64_t i = 0; i < frames; ++i) {
      for (uint32_t ch = 0; ch < 2; ++ch) {
        const float expected = std::clamp(stereo(i, ch), -1.0f, 32767.0f / 32768.0f);
        ASSERT_NEAR(channels[ch][i], expected, 0.5f / 32768 + 1e-7f) << "frame " << i << " ch " << ch;
      }
    }
    return;
  }
  // One second from the middle: 1 kHz has 2000 zero crossings.
  int crossings = 0;
  float peaks[2] = {0, 0};
  for (size_t i = 24000; i < 72000; ++i) {
    crossings += (channels[1][i - 1] < 0) != (channels[1][i] < 0);
    for (int ch = 0; ch < 2; ++ch) peaks[ch] = std::max(peaks[ch], std::fabs(channels[ch][i]));
  }
  EXPECT_NEAR(crossings, 2000, 2);
  EXPECT_LT(peaks[0], 0.01);
  EXPECT_NEAR(peaks[1], 0.5, 0.03);
}

INSTANTIATE_TEST_SUITE_P(
    AudioFile, Containers,
    ::testing::Values(Container{"out.wav", "pcm_s16le\ns16", "wav"}, Container{"out.aif", "pcm_s16be\ns16", "aiff"},
                      Container{"out.AIFF", "pcm_s16be\ns16", "aiff"}, Container{"out.caf", "pcm_s16le\ns16", "caf"},
                      Container{"out.Mov", "pcm_s16le\ns16", kMov}, Container{"out.m4a", "aac\nfltp", kMov},
                      Container{"out.mp4", "aac\nfltp", kMov}, Container{"out.mov", "aac\nfltp", kMov},
                      Container{"out.3GP", "aac\nfltp", kMov}, Container{"out.aac", "aac\nfltp", "aac"},
                      Container{"out.adts", "aac\nfltp", "aac"}, Container{"out.mkv", "aac\nfltp", "matroska,webm"},
                      Container{"out.mka", "aac\nfltp", "matroska,webm"}),
    [](const auto& info) { return std::string(info.param.name).substr(4); });

TEST(AudioFile, ContainerFollowsTheLastExtensionRefusalsLeaveTheFileAloneAndAnOldFileIsReplaced) {
  ScratchDir dir;
  const std::tuple<std::string, AudioSettings, std::string> refusals[] = {
      {"out.mp3", pcm16(2), ".mp3"}, {"out.txt", aac(2), ".txt"},  {"noextension", pcm16(2), "extension"},
      {"out.wav", aac(2), ".wav"},   {"out.CAF", aac(2), ".caf"},  {"out.aiff", aac(1), ".aiff"},
      {"out.m4a", pcm16(2), ".m4a"}, {"out.mkv", pcm16(2), ".mkv"},
  };
  for (const auto& [name, settings, mentions] : refusals) {
    std::ofstream(dir / name) << "keep me";
    auto created = AudioFile::createForWriting(dir / name, settings);
    ASSERT_FALSE(created) << name;
    EXPECT_EQ(created.error().domain, "audio-file");
    EXPECT_NE(created.error().description.find(mentions), std::string::npos) << created.error().description;
    EXPECT_EQ(fs::file_size(dir / name), 7u) << name;
  }
  for (const char* yes : {"a.wav", "a.b.CAF", "/x/a.aif", "a.aiff", "a.mov"}) EXPECT_TRUE(containerHoldsLinearPCM(yes)) << yes;
  for (const char* no : {"a.m4a", "a.mp4", "a.aac", "a.mkv", "a", "wav", "a.wav.m4a", "dir.wav/a"})
    EXPECT_FALSE(containerHoldsLinearPCM(no)) << no;
  std::ofstream(dir / "old.caf") << std::string(100000, 'x');
  writeFile(dir / "old.caf", pcm16(1), 10, [](int64_t, uint32_t) { return 0.5f; });
  EXPECT_EQ(readAll(dir / "old.caf"), std::vector<std::vector<float>>{std::vector<float>(10, 0.5f)});
  EXPECT_LT(fs::file_size(dir / "old.caf"), 10000u);
}

// Full disk, made by a file-size limit (which fails write(2) the same way) in a
// child. Every chunk has its own level, so a chunk that lands in the wrong place
// shows on reading. Regression: libsndfile's automatic header update left its
// position just past the header, so appends after a failure "succeeded" by
// overwriting the start of the track.
constexpr uint32_t kChunk = 4096;

float chunked(int64_t frame, uint32_t) { return float(frame / kChunk % 40 + 1) / 128.0f + tone(frame, 440, 0.25); }

// Exit 0: an append failed with a named error and the 12 appends after it failed too.
int fillUntilFull(const std::string& file, const AudioSettings& settings) {
  auto created = AudioFile::createForWriting(file, settings);
  if (!created) return 10;
  auto buffer = PcmBuffer::create((*created)->processingFormat(), kChunk);
  auto append = [&](int64_t chunk) {
    for (uint32_t ch = 0; ch < settings.channelCount; ++ch) {
      for (uint32_t i = 0; i < kChunk; ++i) buffer->floatChannelData(ch)[i] = chunked(chunk * kChunk + i, ch);
    }
    buffer->setFrameLength(kChunk);
    return (*created)->write(*buffer);
  };
  int64_t chunk = 0;
  Status failure;
  while (!(failure = append(chunk++))) {
    if (chunk > 1000) return 11;
  }
  const bool named = failure->domain == "posix" || failure->domain == "sndfile" || failure->domain == "ffmpeg";
  if (!named || failure->code == 0 || failure->description.empty()) return 12;
  for (int64_t more = chunk; more < chunk + 12; ++more) {
    if (!append(more)) return 13;
  }
  return 0;
}

TEST(AudioFile, OnAFullDiskEveryAppendFailsAsAValueAndWrittenFramesStayInPlace) {
  ScratchDir dir;
  for (const auto& [name, settings] : {std::pair{"full.caf", pcm16(1)}, std::pair{"full.m4a", aac(1)},
                                       std::pair{"full.wav", pcm16(2)}}) {
    // 100 000 bytes: about 1 s of 16-bit mono.
    EXPECT_EQ(exitStatusInChild([&] { return fillUntilFull(dir / name, settings); }, 100'000), 0)
        << name << " (10: not created, 11: never filled, 12: error without domain/code, 13: a later append worked)";
    if (!containerHoldsLinearPCM(name)) continue;
    auto channels = readAll(dir / name);
    ASSERT_FALSE(channels.empty());
    EXPECT_GT(channels[0].size(), 40'000u / settings.channelCount) << name;
    for (size_t f = 0; f < channels[0].size(); f += 97) {
      ASSERT_NEAR(channels[0][f], chunked(int64_t(f), 0), 1e-3) << name << " frame " << f;
    }
  }
}

// Regression: a temp track whose writer was SIGKILLed must read whole, in our
// reader, in FFmpeg and in sox, up to the last frame appended.
TEST(AudioFile, TempTrackOfAKilledWriterReadsWholeEverywhere) {
  ScratchDir dir;
  const std::string file = dir / "rec.mic.caf";
  constexpr int64_t kFrames = 49152;
  const SampleFn known = [](int64_t f, uint32_t) { return tone(f, 1000, 0.25) + float(f % 7) / 32768.0f; };
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto open = writeFile(file, pcm16(1), kFrames, known, 4096);  // the temp track settings, never closed
    if (!open || ::write(ready[1], "k", 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char signal = 0;
  ASSERT_EQ(::read(ready[0], &signal, 1), 1) << "writer failed before appending everything";
  close(ready[0]);
  kill(child, SIGKILL);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);

  auto channels = readAll(file);
  ASSERT_EQ(channels.size(), 1u);
  ASSERT_EQ(channels[0].size(), size_t(kFrames));
  for (int64_t i = 0; i < kFrames; ++i) ASSERT_NEAR(channels[0][i], known(i, 0), 0.5 / 32768 + 1e-7) << i;
  EXPECT_NEAR(std::atof(probe(file, "stream=duration").c_str()), kFrames / 48000.0, 1e-6);
  EXPECT_EQ(run("ffmpeg -v error -i '" + file + "' -f s16le - | wc -c"), std::to_string(kFrames * 2) + "\n");
  EXPECT_EQ(run("sox '" + file + "' -t raw - | wc -c"), std::to_string(kFrames * 2) + "\n");
}

}  // namespace
}  // namespace orvane
