// AudioFile: containers by extension, 16-bit and AAC encodings checked with
// ffprobe/ffmpeg/sox, private creation, and temp tracks that survive a killed writer.
#include <fcntl.h>
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
constexpr double kPi = 3.14159265358979323846;

AudioSettings pcm16(uint32_t channels) {
  AudioSettings settings;
  settings.channelCount = channels;
  return settings;
}

AudioSettings aac(uint32_t channels) {
  AudioSettings settings;
  settings.formatId = AudioFormatId::mpeg4AAC;
  settings.channelCount = channels;
  return settings;
}

// Runs a shell command; returns its standard output, or nullopt when it exits non-zero.
std::optional<std::string> run(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string out;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  return pclose(pipe) == 0 ? std::optional<std::string>(out) : std::nullopt;
}

// One value from `ffprobe -show_entries`, e.g. probe(path, "stream=duration").
std::string probe(const std::string& path, const std::string& entry) {
  auto out = run("ffprobe -v error -select_streams a:0 -count_packets -show_entries " + entry +
                 " -of default=nw=1:nk=1 '" + path + "'");
  if (!out) return "<ffprobe failed>";
  while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) out->pop_back();
  return *out;
}

using SampleFn = std::function<float(int64_t frame, uint32_t channel)>;

float tone(int64_t frame, double hz, double amplitude) {
  return static_cast<float>(amplitude * std::sin(2 * kPi * hz * static_cast<double>(frame) / kRate));
}

// Appends `frames` frames in blocks of `block`, sample values from `fn`.
void writeFrames(AudioFile& file, int64_t frames, const SampleFn& fn, uint32_t block = 1000) {
  const AudioFormat format = file.processingFormat();
  auto buffer = PcmBuffer::create(format, block);
  ASSERT_TRUE(buffer);
  for (int64_t done = 0; done < frames;) {
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(block, frames - done));
    for (uint32_t ch = 0; ch < format.channelCount; ++ch) {
      for (uint32_t i = 0; i < n; ++i) buffer->floatChannelData(ch)[i] = fn(done + i, ch);
    }
    buffer->setFrameLength(n);
    Status error = file.write(*buffer);
    ASSERT_FALSE(error) << error->domain << " " << error->description;
    done += n;
  }
}

// Reads a whole file with our reader, in uneven blocks, channel by channel.
std::vector<std::vector<float>> readAll(const std::string& path) {
  auto file = AudioFile::openForReading(path);
  EXPECT_TRUE(file) << (file ? "" : file.error().description);
  if (!file) return {};
  const AudioFormat format = (*file)->processingFormat();
  std::vector<std::vector<float>> channels(format.channelCount);
  auto buffer = PcmBuffer::create(format, 3000);
  for (;;) {
    Status error = (*file)->read(*buffer, 2999);
    EXPECT_FALSE(error);
    if (error || buffer->frameLength() == 0) break;
    for (uint32_t ch = 0; ch < format.channelCount; ++ch) {
      const float* data = buffer->floatChannelData(ch);
      channels[ch].insert(channels[ch].end(), data, data + buffer->frameLength());
    }
  }
  EXPECT_EQ(static_cast<int64_t>(channels[0].size()), (*file)->length());
  return channels;
}

std::string lastChars(const std::string& text, size_t n) {
  return text.size() < n ? text : text.substr(text.size() - n);
}

// The first four bytes: "RIFF" or "RF64" for a WAV.
std::string magic(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string head(4, '\0');
  in.read(head.data(), 4);
  return head;
}

unsigned fileMode(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return 0;
  return status.st_mode & 07777;
}

int zeroCrossings(const std::vector<float>& samples, size_t from, size_t to) {
  int count = 0;
  for (size_t i = from + 1; i < to; ++i) count += (samples[i - 1] < 0) != (samples[i] < 0);
  return count;
}

double rms(const std::vector<float>& samples, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(samples[i]) * samples[i];
  return std::sqrt(sum / double(to - from));
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

TEST_F(AudioFileTest, CafSixteenBitRoundTripsWithinHalfAStepAndClips) {
  const std::string file = path("track.caf");
  const SampleFn ramp = [](int64_t frame, uint32_t) { return float((frame % 4001) - 2000) / 1900.0f; };
  {
    auto created = AudioFile::createForWriting(file, pcm16(1));
    ASSERT_TRUE(created) << created.error().description;
    EXPECT_EQ((*created)->processingFormat(), AudioFormat::standard(kRate, 1));
    writeFrames(**created, 20000, ramp, 777);
    EXPECT_EQ((*created)->length(), 20000);
    EXPECT_FALSE((*created)->sync());
  }
  auto channels = readAll(file);
  ASSERT_EQ(channels.size(), 1u);
  ASSERT_EQ(channels[0].size(), 20000u);
  for (int64_t i = 0; i < 20000; ++i) {
    const float expected = std::clamp(ramp(i, 0), -1.0f, 32767.0f / 32768.0f);
    ASSERT_NEAR(channels[0][i], expected, 0.5f / 32768 + 1e-7f) << "frame " << i;
  }
  EXPECT_EQ(probe(file, "stream=codec_name,sample_rate,channels"), "pcm_s16le\n48000\n1");
}

// One table of what each linear PCM container must look like to an outside reader.
struct PcmCase {
  const char* name;
  const char* codec;
  const char* container;  // ffprobe's format_name
};

class LinearPcmContainer : public AudioFileTest, public ::testing::WithParamInterface<PcmCase> {};

TEST_P(LinearPcmContainer, StereoSixteenBitHeaderAndLengthAsFfprobeSeesThem) {
  const std::string file = path(GetParam().name);
  const int64_t frames = 48000 + 321;
  const SampleFn stereo = [](int64_t f, uint32_t ch) { return ch == 0 ? tone(f, 1000, 0.5) : -0.25f; };
  {
    auto created = AudioFile::createForWriting(file, pcm16(2));
    ASSERT_TRUE(created) << created.error().description;
    writeFrames(**created, frames, stereo);
    EXPECT_EQ((*created)->length(), frames);
  }
  EXPECT_EQ(probe(file, "stream=codec_name,sample_rate,channels,sample_fmt"),
            std::string(GetParam().codec) + "\ns16\n48000\n2");
  EXPECT_EQ(probe(file, "format=format_name"), GetParam().container);
  const double duration = std::atof(probe(file, "format=duration").c_str());
  EXPECT_NEAR(duration, double(frames) / kRate, 0.0005);
  EXPECT_EQ(fileMode(file), 0600u);
  if (lastChars(file, 4) == ".wav") {
    EXPECT_EQ(magic(file), "RIFF");  // RF64 only when it must
  }

  // libsndfile reads all but QuickTime; FFmpeg's decode of that goes through WAV.
  std::string readable = file;
  if (!containerHoldsLinearPCM(file) || lastChars(file, 4) == ".Mov") {
    readable = path("decoded.wav");
    ASSERT_TRUE(run("ffmpeg -v error -y -i '" + file + "' -c:a copy '" + readable + "'"));
  }
  auto channels = readAll(readable);
  ASSERT_EQ(channels.size(), 2u);
  ASSERT_EQ(channels[1].size(), size_t(frames));
  for (int64_t i = 0; i < frames; i += 97) {
    ASSERT_NEAR(channels[0][i], stereo(i, 0), 1.0 / 32768) << i;
    ASSERT_EQ(channels[1][i], -0.25f) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, LinearPcmContainer,
                         ::testing::Values(PcmCase{"out.wav", "pcm_s16le", "wav"},
                                           PcmCase{"out.aif", "pcm_s16be", "aiff"},
                                           PcmCase{"out.AIFF", "pcm_s16be", "aiff"},
                                           PcmCase{"out.caf", "pcm_s16le", "caf"},
                                           PcmCase{"out.Mov", "pcm_s16le", "mov,mp4,m4a,3gp,3g2,mj2"}),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           name.erase(0, 4);
                           return name;
                         });

class AacContainer : public AudioFileTest, public ::testing::WithParamInterface<const char*> {};

// The movie's edit list hides the encoder's priming frames and the padding of
// the last frame, so the stated length is exactly what was written.
TEST_P(AacContainer, LengthIsExactAndAToneStaysAToneInTheMpeg4Family) {
  const std::string file = path(GetParam());
  const int64_t frames = 2 * 48000 + 123;  // not a multiple of the 1024-frame AAC frame
  {
    auto created = AudioFile::createForWriting(file, aac(2));
    ASSERT_TRUE(created) << created.error().description;
    writeFrames(**created, frames, [](int64_t f, uint32_t ch) { return ch == 0 ? tone(f, 1000, 0.5) : 0.0f; }, 4096);
    EXPECT_EQ((*created)->length(), frames);
  }
  EXPECT_EQ(probe(file, "stream=codec_name,sample_rate,channels"), "aac\n48000\n2");
  EXPECT_NEAR(std::atof(probe(file, "stream=duration").c_str()), double(frames) / kRate, 0.001);
  // Exact to the frame, not just to the millisecond.
  EXPECT_EQ(probe(file, "stream=time_base,duration_ts"), "1/48000\n" + std::to_string(frames));
  EXPECT_EQ(fileMode(file), 0600u);

  const std::string decoded = path("decoded.wav");
  ASSERT_TRUE(run("ffmpeg -v error -y -i '" + file + "' '" + decoded + "'"));
  auto channels = readAll(decoded);
  ASSERT_EQ(channels.size(), 2u);
  // FFmpeg's decoder drops the priming frames but keeps the last frame's padding.
  EXPECT_GE(channels[0].size(), size_t(frames));
  EXPECT_LT(channels[0].size(), size_t(frames + 1024));
  // One second from the middle: 1 kHz has 2000 zero crossings, RMS 0.5/sqrt(2).
  EXPECT_NEAR(zeroCrossings(channels[0], 24000, 72000), 2000, 2);
  EXPECT_NEAR(rms(channels[0], 24000, 72000), 0.5 / std::sqrt(2.0), 0.02);
  EXPECT_LT(rms(channels[1], 24000, 72000), 0.01);
}

INSTANTIATE_TEST_SUITE_P(Mpeg4, AacContainer, ::testing::Values("out.m4a", "out.mp4", "out.mov", "out.3GP"),
                         [](const auto& info) { return std::string(info.param).substr(4); });

TEST_F(AudioFileTest, AacInAdtsAndMatroskaIsDecodableMono) {
  for (const char* name : {"out.aac", "out.adts", "out.mkv", "out.mka"}) {
    const std::string file = path(name);
    {
      auto created = AudioFile::createForWriting(file, aac(1));
      ASSERT_TRUE(created) << name << ": " << created.error().description;
      writeFrames(**created, 48000, [](int64_t f, uint32_t) { return tone(f, 1000, 0.5); }, 333);
    }
    EXPECT_EQ(probe(file, "stream=codec_name,sample_rate,channels"), "aac\n48000\n1") << name;
    const std::string decoded = path("decoded.wav");
    ASSERT_TRUE(run("ffmpeg -v error -y -i '" + file + "' '" + decoded + "'")) << name;
    auto channels = readAll(decoded);
    ASSERT_EQ(channels.size(), 1u);
    EXPECT_NEAR(zeroCrossings(channels[0], 12000, 36000), 1000, 2) << name;
  }
}

TEST_F(AudioFileTest, RefusedRequestsNameTheProblemAndLeaveTheFileAlone) {
  struct Refusal {
    std::string name;
    AudioSettings settings;
    std::string mentions;
  };
  AudioSettings float32 = pcm16(1);
  float32.isFloat = true;
  float32.bitDepth = 32;
  AudioSettings pcm24 = pcm16(1);
  pcm24.bitDepth = 24;
  const Refusal refusals[] = {
      {"out.mp3", pcm16(2), ".mp3"},    {"out.txt", aac(2), ".txt"},      {"noextension", pcm16(2), "extension"},
      {"out.wav", aac(2), ".wav"},      {"out.CAF", aac(2), ".caf"},      {"out.aiff", aac(1), ".aiff"},
      {"out.m4a", pcm16(2), ".m4a"},    {"out.mkv", pcm16(2), ".mkv"},    {"out.wav", float32, "32-bit float"},
      {"out.caf", pcm24, "24-bit"},
  };
  for (const auto& refusal : refusals) {
    const std::string file = path(refusal.name);
    std::ofstream(file) << "keep me";
    auto created = AudioFile::createForWriting(file, refusal.settings);
    ASSERT_FALSE(created) << refusal.name;
    EXPECT_EQ(created.error().domain, "audio-file");
    EXPECT_NE(created.error().description.find(refusal.mentions), std::string::npos)
        << refusal.name << ": " << created.error().description;
    std::ifstream in(file);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me") << refusal.name;
    fs::remove(file);
  }
}

TEST_F(AudioFileTest, SymlinkAtThePathIsAnErrorAndItsTargetIsUntouched) {
  const std::string target = path("precious.txt");
  std::ofstream(target) << "precious";
  for (const auto& [name, settings] : {std::pair{"link.caf", pcm16(1)}, std::pair{"link.m4a", aac(2)},
                                       std::pair{"link.wav", pcm16(2)}, std::pair{"link.mov", pcm16(2)}}) {
    const std::string link = path(name);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    auto created = AudioFile::createForWriting(link, settings);
    ASSERT_FALSE(created) << name;
    EXPECT_EQ(created.error().domain, "posix") << name;
    EXPECT_EQ(created.error().code, ELOOP) << name;
    EXPECT_TRUE(fs::is_symlink(link)) << name;
  }
  std::ifstream in(target);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "precious");
}

TEST_F(AudioFileTest, ExistingFileIsReplacedAndContainerCheckFollowsTheExtension) {
  const std::string file = path("old.caf");
  std::ofstream(file) << std::string(100000, 'x');
  {
    auto created = AudioFile::createForWriting(file, pcm16(1));
    ASSERT_TRUE(created);
    writeFrames(**created, 10, [](int64_t, uint32_t) { return 0.5f; });
  }
  EXPECT_EQ(readAll(file)[0].size(), 10u);
  EXPECT_LT(fs::file_size(file), 10000u);

  for (const char* yes : {"a.wav", "a.b.CAF", "/x/a.aif", "a.aiff", "a.mov"}) EXPECT_TRUE(containerHoldsLinearPCM(yes)) << yes;
  for (const char* no : {"a.m4a", "a.mp4", "a.aac", "a.mkv", "a", "wav", "a.wav.m4a", "dir.wav/a"})
    EXPECT_FALSE(containerHoldsLinearPCM(no)) << no;
}

TEST_F(AudioFileTest, ReadingFailsAsValuesAndWritesNeedTheProcessingFormat) {
  auto missing = AudioFile::openForReading(path("missing.caf"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().domain, "posix");
  EXPECT_EQ(missing.error().code, ENOENT);

  std::ofstream(path("text.caf")) << "not audio at all";
  auto garbage = AudioFile::openForReading(path("text.caf"));
  ASSERT_FALSE(garbage);
  EXPECT_EQ(garbage.error().domain, "sndfile");
  EXPECT_NE(garbage.error().code, 0);

  for (const char* name : {"mono.caf", "mono.m4a"}) {
    auto created = AudioFile::createForWriting(path(name), name[5] == 'c' ? pcm16(1) : aac(1));
    ASSERT_TRUE(created);
    auto stereo = PcmBuffer::create(AudioFormat::standard(kRate, 2), 16);
    stereo->setFrameLength(16);
    Status error = (*created)->write(*stereo);
    ASSERT_TRUE(error) << name;
    EXPECT_EQ((*created)->length(), 0) << name;
  }
}

// A file that can grow no further (here: the file-size limit, which fails
// write(2) like a full disk) surfaces from write() as an error value with a
// domain and a code, whichever library writes the file. Runs in a child so the
// limit stays there.
TEST_F(AudioFileTest, WriteFailureWhenTheFileCannotGrowIsAnErrorValue) {
  for (const auto& [name, settings] : {std::pair{"full.caf", pcm16(1)}, std::pair{"full.m4a", aac(1)},
                                       std::pair{"full.wav", pcm16(2)}}) {
    const std::string file = path(name);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{200000, 200000};
      setrlimit(RLIMIT_FSIZE, &limit);
      auto created = AudioFile::createForWriting(file, settings);
      if (!created) _exit(10);
      auto buffer = PcmBuffer::create((*created)->processingFormat(), 48000);
      buffer->setFrameLength(48000);
      for (int i = 0; i < 100; ++i) {
        for (uint32_t ch = 0; ch < settings.channelCount; ++ch) {
          for (uint32_t f = 0; f < 48000; ++f) buffer->floatChannelData(ch)[f] = tone(f + i * 48000, 440 + 97 * i, 0.7);
        }
        Status failure = (*created)->write(*buffer);
        if (!failure) failure = (*created)->sync();
        if (failure) {
          const bool named = failure->domain == "posix" || failure->domain == "sndfile" || failure->domain == "ffmpeg";
          _exit(named && failure->code != 0 && !failure->description.empty() ? 0 : 11);
        }
      }
      _exit(12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << name;
    EXPECT_EQ(WEXITSTATUS(status), 0) << name << " (10: refused at creation, 11: error without domain/code, 12: no error)";
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
    close(ready[0]);
    auto created = AudioFile::createForWriting(file, pcm16(1));  // the temp track settings
    if (!created) _exit(1);
    auto buffer = PcmBuffer::create(AudioFormat::standard(kRate, 1), 4096);
    for (int64_t done = 0; done < kFrames; done += 4096) {
      for (uint32_t i = 0; i < 4096; ++i) buffer->floatChannelData(0)[i] = known(done + i, 0);
      buffer->setFrameLength(4096);
      if ((*created)->write(*buffer)) _exit(2);
    }
    const char done = 'k';
    if (::write(ready[1], &done, 1) != 1) _exit(3);
    for (;;) pause();  // the file object is never closed
  }
  close(ready[1]);
  char signal = 0;
  ASSERT_EQ(::read(ready[0], &signal, 1), 1) << "writer failed before appending everything";
  close(ready[0]);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  auto channels = readAll(file);
  ASSERT_EQ(channels.size(), 1u);
  ASSERT_EQ(channels[0].size(), size_t(kFrames));
  for (int64_t i = 0; i < kFrames; ++i) ASSERT_NEAR(channels[0][i], known(i, 0), 0.5 / 32768 + 1e-7) << i;

  EXPECT_NEAR(std::atof(probe(file, "stream=duration").c_str()), double(kFrames) / kRate, 1e-6);
  auto decoded = run("ffmpeg -v error -i '" + file + "' -f s16le - | wc -c");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(std::atoll(decoded->c_str()), kFrames * 2);
  auto soxSamples = run("sox --i -s '" + file + "'");
  ASSERT_TRUE(soxSamples);
  EXPECT_EQ(std::atoll(soxSamples->c_str()), kFrames);
  auto soxDecoded = run("sox '" + file + "' -t raw - | wc -c");
  ASSERT_TRUE(soxDecoded);
  EXPECT_EQ(std::atoll(soxDecoded->c_str()), kFrames * 2);
}

// A WAV stays valid past 4 GiB of audio (it becomes RF64 there). Slow and
// needs about 4.5 GB of disk: ORVANE_LARGE_TESTS=1 turns it on.
TEST_F(AudioFileTest, WavBeyondFourGibibytesKeepsItsLength) {
  const char* enabled = std::getenv("ORVANE_LARGE_TESTS");
  if (!enabled || std::string(enabled) != "1") GTEST_SKIP() << "set ORVANE_LARGE_TESTS=1 to run";
  const std::string file = path("long.wav");
  constexpr uint32_t kBlock = 1 << 20;
  const int64_t frames = (int64_t{1} << 30) + 480000;  // 4 GiB of 16-bit stereo and 10 s more
  {
    auto created = AudioFile::createForWriting(file, pcm16(2));
    ASSERT_TRUE(created) << created.error().description;
    auto buffer = PcmBuffer::create(AudioFormat::standard(kRate, 2), kBlock);
    buffer->floatChannelData(0)[kBlock - 1] = 0.5f;  // a marker at every block's end
    for (int64_t done = 0; done < frames; done += kBlock) {
      buffer->setFrameLength(uint32_t(std::min<int64_t>(kBlock, frames - done)));
      Status error = (*created)->write(*buffer);
      ASSERT_FALSE(error) << error->description;
    }
    EXPECT_EQ((*created)->length(), frames);
  }
  EXPECT_GT(fs::file_size(file), uint64_t{1} << 32);
  EXPECT_EQ(magic(file), "RF64");
  EXPECT_NEAR(std::atof(probe(file, "format=duration").c_str()), double(frames) / kRate, 0.001);
  EXPECT_EQ(probe(file, "stream=codec_name,sample_rate,channels"), "pcm_s16le\n48000\n2");
  auto reread = AudioFile::openForReading(file);
  ASSERT_TRUE(reread);
  EXPECT_EQ((*reread)->length(), frames);
}

}  // namespace
}  // namespace orvane
