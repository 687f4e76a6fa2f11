// AudioFile: containers by extension, 16-bit and AAC encodings checked with
// ffprobe/ffmpeg/sox, private creation, a full disk, and temp tracks that
// survive a killed writer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/audio_file.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

constexpr double kRate = 48000;

AudioSettings pcm16(uint32_t channels) {
  AudioSettings settings;
  settings.channelCount = channels;
  return settings;
}

AudioSettings aac(uint32_t channels) {
  AudioSettings settings = pcm16(channels);
  settings.formatId = AudioFormatId::mpeg4AAC;
  return settings;
}

// Runs a shell command; returns its standard output, or "<failed>" when it exits non-zero.
std::string run(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char chunk[4096];
  for (size_t n; pipe && (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  if (!pipe || pclose(pipe) != 0) return "<failed>";
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// `ffprobe -show_entries` values, one a line, e.g. probe(path, "stream=duration").
std::string probe(const std::string& path, const std::string& entry) {
  return run("ffprobe -v error -select_streams a:0 -show_entries " + entry + " -of default=nw=1:nk=1 '" + path + "'");
}

double probeNumber(const std::string& path, const std::string& entry) { return std::atof(probe(path, entry).c_str()); }

using SampleFn = std::function<float(int64_t frame, uint32_t channel)>;

float tone(int64_t frame, double hz, double amplitude) {
  return static_cast<float>(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(frame) / kRate));
}

void fill(PcmBuffer& buffer, int64_t first, uint32_t frames, const SampleFn& fn) {
  for (uint32_t ch = 0; ch < buffer.format().channelCount; ++ch) {
    for (uint32_t i = 0; i < frames; ++i) buffer.floatChannelData(ch)[i] = fn(first + i, ch);
  }
  buffer.setFrameLength(frames);
}

// Creates `file` and appends `frames` frames in blocks of `block`.
void writeFile(const std::string& file, const AudioSettings& settings, int64_t frames, const SampleFn& fn,
               uint32_t block = 1000) {
  auto created = AudioFile::createForWriting(file, settings);
  ASSERT_TRUE(created) << created.error().description;
  auto buffer = PcmBuffer::create((*created)->processingFormat(), block);
  for (int64_t done = 0; done < frames; done += block) {
    fill(*buffer, done, static_cast<uint32_t>(std::min<int64_t>(block, frames - done)), fn);
    Status error = (*created)->write(*buffer);
    ASSERT_FALSE(error) << error->domain << " " << error->description;
  }
  EXPECT_EQ((*created)->length(), frames);
}

// Reads a whole file with our reader, in uneven blocks, channel by channel.
std::vector<std::vector<float>> readAll(const std::string& path) {
  auto file = AudioFile::openForReading(path);
  EXPECT_TRUE(file) << (file ? "" : file.error().description);
  if (!file) return {};
  const AudioFormat format = (*file)->processingFormat();
  std::vector<std::vector<float>> channels(format.channelCount);
  auto buffer = PcmBuffer::create(format, 3000);
  while (!(*file)->read(*buffer, 2999) && buffer->frameLength() > 0) {
    for (uint32_t ch = 0; ch < format.channelCount; ++ch) {
      const float* data = buffer->floatChannelData(ch);
      channels[ch].insert(channels[ch].end(), data, data + buffer->frameLength());
    }
  }
  EXPECT_EQ(static_cast<int64_t>(channels[0].size()), (*file)->length());
  return channels;
}

// The first four bytes: "RIFF" or "RF64" for a WAV.
std::string magic(const std::string& path) {
  std::string head(4, '\0');
  std::ifstream(path, std::ios::binary).read(head.data(), 4);
  return head;
}

unsigned fileMode(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

class AudioFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/orvane-audio-file-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

struct PcmCase {
  const char* name;
  const char* codec;
  const char* container;  // ffprobe's format_name
};

class LinearPcmContainer : public AudioFileTest, public ::testing::WithParamInterface<PcmCase> {};

// Left: a ramp past full scale (clipped, rounded to the nearest step); right: a tone.
TEST_P(LinearPcmContainer, StereoSixteenBitRoundTripsAndOutsideReadersAgree) {
  const std::string file = path(GetParam().name);
  const int64_t frames = 48000 + 321;
  const SampleFn stereo = [](int64_t f, uint32_t ch) {
    return ch == 0 ? float((f % 4001) - 2000) / 1900.0f : tone(f, 1000, 0.5);
  };
  writeFile(file, pcm16(2), frames, stereo, 777);
  EXPECT_EQ(probe(file, "stream=codec_name,sample_rate,channels,sample_fmt"),
            std::string(GetParam().codec) + "\ns16\n48000\n2");
  EXPECT_EQ(probe(file, "format=format_name"), GetParam().container);
  EXPECT_NEAR(probeNumber(file, "format=duration"), double(frames) / kRate, 0.0005);
  EXPECT_EQ(fileMode(file), 0600u);
  if (file.ends_with(".wav")) {
    EXPECT_EQ(magic(file), "RIFF");  // RF64 only when it must
  }

  // libsndfile reads all but QuickTime; FFmpeg's copy of that goes through WAV.
  std::string readable = file;
  if (file.ends_with(".Mov")) {
    readable = path("decoded.wav");
    ASSERT_NE(run("ffmpeg -v error -y -i '" + file + "' -c:a copy '" + readable + "'"), "<failed>");
  }
  auto channels = readAll(readable);
  ASSERT_EQ(channels.size(), 2u);
  ASSERT_EQ(channels[1].size(), size_t(frames));
  for (int64_t i = 0; i < frames; ++i) {
    for (uint32_t ch = 0; ch < 2; ++ch) {
      const float expected = std::clamp(stereo(i, ch), -1.0f, 32767.0f / 32768.0f);
      ASSERT_NEAR(channels[ch][i], expected, 0.5f / 32768 + 1e-7f) << "frame " << i << " ch " << ch;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, LinearPcmContainer,
                         ::testing::Values(PcmCase{"out.wav", "pcm_s16le", "wav"},
                                           PcmCase{"out.aif", "pcm_s16be", "aiff"},
                                           PcmCase{"out.AIFF", "pcm_s16be", "aiff"},
                                           PcmCase{"out.caf", "pcm_s16le", "caf"},
                                           PcmCase{"out.Mov", "pcm_s16le", "mov,mp4,m4a,3gp,3g2,mj2"}),
                         [](const auto& info) { return std::string(info.param.name).substr(4); });

class AacContainer : public AudioFileTest, public ::testing::WithParamInterface<const char*> {};

// In the MPEG-4 family the edit list hides the encoder's priming frames and the
// padding of the last frame, so the stated length is exactly what was written.
TEST_P(AacContainer, AToneStaysAToneAndMpeg4LengthIsExact) {
  const std::string file = path(GetParam());
  const bool mpeg4 = std::string(".m4a.mp4.mov.3GP").find(fs::path(file).extension().string()) != std::string::npos;
  const int64_t frames = 2 * 48000 + 123;  // not a multiple of the 1024-frame AAC frame
  writeFile(file, aac(2), frames, [](int64_t f, uint32_t ch) { return ch == 0 ? tone(f, 1000, 0.5) : 0.0f; }, 4096);
  EXPECT_EQ(probe(file, "stream=codec_name,sample_rate,channels"), "aac\n48000\n2");
  if (mpeg4) {
    EXPECT_EQ(probe(file, "stream=time_base,duration_ts"), "1/48000\n" + std::to_string(frames));
  }
  EXPECT_EQ(fileMode(file), 0600u);

  const std::string decoded = path("decoded.wav");
  ASSERT_NE(run("ffmpeg -v error -y -i '" + file + "' '" + decoded + "'"), "<failed>");
  auto channels = readAll(decoded);
  ASSERT_EQ(channels.size(), 2u);
  // FFmpeg's decoder keeps the last frame's padding, and outside MPEG-4 the priming too.
  EXPECT_GE(channels[0].size(), size_t(frames));
  EXPECT_LT(channels[0].size(), size_t(frames + (mpeg4 ? 1024 : 2048)));
  // One second from the middle: 1 kHz has 2000 zero crossings.
  int crossings = 0;
  float peaks[2] = {0, 0};
  for (size_t i = 24000; i < 72000; ++i) {
    crossings += (channels[0][i - 1] < 0) != (channels[0][i] < 0);
    for (int ch = 0; ch < 2; ++ch) peaks[ch] = std::max(peaks[ch], std::fabs(channels[ch][i]));
  }
  EXPECT_NEAR(crossings, 2000, 2);
  EXPECT_NEAR(peaks[0], 0.5, 0.03);
  EXPECT_LT(peaks[1], 0.01);
}

INSTANTIATE_TEST_SUITE_P(Aac, AacContainer,
                         ::testing::Values("out.m4a", "out.mp4", "out.mov", "out.3GP", "out.aac", "out.adts",
                                           "out.mkv", "out.mka"),
                         [](const auto& info) { return std::string(info.param).substr(4); });

TEST_F(AudioFileTest, ContainerFollowsTheLastExtensionAndRefusalsLeaveTheFileAlone) {
  AudioSettings float32 = pcm16(1), pcm24 = pcm16(1);
  float32.isFloat = true;
  float32.bitDepth = 32;
  pcm24.bitDepth = 24;
  const std::tuple<std::string, AudioSettings, std::string> refusals[] = {
      {"out.mp3", pcm16(2), ".mp3"}, {"out.txt", aac(2), ".txt"},  {"noextension", pcm16(2), "extension"},
      {"out.wav", aac(2), ".wav"},   {"out.CAF", aac(2), ".caf"},  {"out.aiff", aac(1), ".aiff"},
      {"out.m4a", pcm16(2), ".m4a"}, {"out.mkv", pcm16(2), ".mkv"}, {"out.wav", float32, "32-bit float"},
      {"out.caf", pcm24, "24-bit"},
  };
  for (const auto& [name, settings, mentions] : refusals) {
    const std::string file = path(name);
    std::ofstream(file) << "keep me";
    auto created = AudioFile::createForWriting(file, settings);
    ASSERT_FALSE(created) << name;
    EXPECT_EQ(created.error().domain, "audio-file");
    EXPECT_NE(created.error().description.find(mentions), std::string::npos) << created.error().description;
    EXPECT_EQ(fs::file_size(file), 7u) << name;
  }
  for (const char* yes : {"a.wav", "a.b.CAF", "/x/a.aif", "a.aiff", "a.mov"}) EXPECT_TRUE(containerHoldsLinearPCM(yes)) << yes;
  for (const char* no : {"a.m4a", "a.mp4", "a.aac", "a.mkv", "a", "wav", "a.wav.m4a", "dir.wav/a"})
    EXPECT_FALSE(containerHoldsLinearPCM(no)) << no;
}

TEST_F(AudioFileTest, SymlinkAtThePathIsAnErrorButAnOldFileIsReplaced) {
  const std::string target = path("precious.txt");
  std::ofstream(target) << "precious";
  for (const auto& [name, settings] : {std::pair{"link.caf", pcm16(1)}, std::pair{"link.m4a", aac(2)},
                                       std::pair{"link.wav", pcm16(2)}, std::pair{"link.mov", pcm16(2)}}) {
    const std::string link = path(name);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    auto created = AudioFile::createForWriting(link, settings);
    ASSERT_FALSE(created) << name;
    EXPECT_EQ(std::tie(created.error().domain, created.error().code), std::tuple("posix", ELOOP)) << name;
  }
  EXPECT_EQ(fs::file_size(target), 8u);

  const std::string old = path("old.caf");
  std::ofstream(old) << std::string(100000, 'x');
  writeFile(old, pcm16(1), 10, [](int64_t, uint32_t) { return 0.5f; });
  EXPECT_EQ(readAll(old)[0].size(), 10u);
  EXPECT_LT(fs::file_size(old), 10000u);
}

// Full disk, made by a file-size limit (which fails write(2) the same way) in a
// child. Every chunk has its own level, so a chunk that lands in the wrong place
// shows on reading. Regression: libsndfile's automatic header update left its
// position just past the header, so appends after a failure "succeeded" by
// overwriting the start of the track.
constexpr uint32_t kChunk = 4096;
constexpr rlim_t kFileLimit = 100'000;  // bytes: about 1 s of 16-bit mono

float chunked(int64_t frame, uint32_t) {
  return static_cast<float>(frame / kChunk % 40 + 1) / 128.0f + tone(frame, 440, 0.25);
}

// Exit 0: an append failed with a named error and the 12 appends after it failed too.
int fillUntilFull(const std::string& file, const AudioSettings& settings) {
  signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{kFileLimit, kFileLimit};
  setrlimit(RLIMIT_FSIZE, &limit);
  auto created = AudioFile::createForWriting(file, settings);
  if (!created) return 10;
  auto buffer = PcmBuffer::create((*created)->processingFormat(), kChunk);
  int64_t chunk = 0;
  Status failure;
  for (; !failure; ++chunk) {
    if (chunk > 1000) return 11;
    fill(*buffer, chunk * kChunk, kChunk, chunked);
    failure = (*created)->write(*buffer);
  }
  const bool named = failure->domain == "posix" || failure->domain == "sndfile" || failure->domain == "ffmpeg";
  if (!named || failure->code == 0 || failure->description.empty()) return 12;
  for (int64_t more = chunk; more < chunk + 12; ++more) {
    fill(*buffer, more * kChunk, kChunk, chunked);
    if (!(*created)->write(*buffer)) return 13;
  }
  return 0;
}

TEST_F(AudioFileTest, OnAFullDiskEveryAppendFailsAsAValueAndWrittenFramesStayInPlace) {
  for (const auto& [name, settings] : {std::pair{"full.caf", pcm16(1)}, std::pair{"full.m4a", aac(1)},
                                       std::pair{"full.wav", pcm16(2)}}) {
    const std::string file = path(name);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(fillUntilFull(file, settings));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << name << " (10: not created, 11: never filled, 12: error without domain/code, 13: a later append worked)";
    if (!containerHoldsLinearPCM(file)) continue;
    auto channels = readAll(file);
    ASSERT_FALSE(channels.empty());
    EXPECT_GT(channels[0].size(), 40'000u / settings.channelCount) << name;
    for (size_t f = 0; f < channels[0].size(); f += 97) {
      ASSERT_NEAR(channels[0][f], chunked(int64_t(f), 0), 1e-3) << name << " frame " << f;
    }
  }
}

// Regression: a temp track whose writer was SIGKILLed must read whole, in our
// reader, in FFmpeg and in sox, up to the last frame appended.
TEST_F(AudioFileTest, TempTrackOfAKilledWriterReadsWholeEverywhere) {
  const std::string file = path("rec.mic.caf");
  constexpr int64_t kFrames = 49152;
  const SampleFn known = [](int64_t f, uint32_t) { return tone(f, 1000, 0.25) + float(f % 7) / 32768.0f; };
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto created = AudioFile::createForWriting(file, pcm16(1));  // the temp track settings
    if (!created) _exit(1);
    auto buffer = PcmBuffer::create(AudioFormat::standard(kRate, 1), 4096);
    for (int64_t done = 0; done < kFrames; done += 4096) {
      fill(*buffer, done, 4096, known);
      if ((*created)->write(*buffer)) _exit(2);
    }
    if (::write(ready[1], "k", 1) != 1) _exit(3);
    for (;;) pause();  // the file object is never closed
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
  EXPECT_NEAR(probeNumber(file, "stream=duration"), double(kFrames) / kRate, 1e-6);
  EXPECT_EQ(run("ffmpeg -v error -i '" + file + "' -f s16le - | wc -c"), std::to_string(kFrames * 2));
  EXPECT_EQ(run("sox '" + file + "' -t raw - | wc -c"), std::to_string(kFrames * 2));
}

// A WAV stays valid past 4 GiB of audio (it becomes RF64 there). Slow and
// needs about 4.5 GB of disk: ORVANE_LARGE_TESTS=1 turns it on.
TEST_F(AudioFileTest, WavBeyondFourGibibytesKeepsItsLength) {
  if (const char* on = std::getenv("ORVANE_LARGE_TESTS"); !on || std::string(on) != "1") {
    GTEST_SKIP() << "set ORVANE_LARGE_TESTS=1 to run";
  }
  const std::string file = path("long.wav");
  const int64_t frames = (int64_t{1} << 30) + 480000;  // 4 GiB of 16-bit stereo and 10 s more
  writeFile(file, pcm16(2), frames, [](int64_t, uint32_t) { return 0.25f; }, 1 << 20);
  EXPECT_GT(fs::file_size(file), uint64_t{1} << 32);
  EXPECT_EQ(magic(file), "RF64");
  EXPECT_NEAR(probeNumber(file, "format=duration"), double(frames) / kRate, 0.001);
  auto reread = AudioFile::openForReading(file);
  ASSERT_TRUE(reread);
  EXPECT_EQ((*reread)->length(), frames);
}

}  // namespace
}  // namespace orvane
