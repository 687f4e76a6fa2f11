// Scratch directories, whole-file writes and reads, and temporary tracks that
// grow while something reads them, for the unit tests that go through real
// audio files.
#pragma once

#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/audio_file.h"

namespace orvane {

// A fresh directory under /tmp, removed with everything in it.
struct ScratchDir {
  std::string dir = [] {
    char pattern[] = "/tmp/orvane-test-XXXXXX";
    EXPECT_NE(mkdtemp(pattern), nullptr);
    return std::string(pattern);
  }();
  ~ScratchDir() { std::filesystem::remove_all(dir); }
  std::string operator/(const std::string& name) const { return dir + "/" + name; }
};

using SampleFn = std::function<float(int64_t frame, uint32_t channel)>;

inline AudioSettings aacSettings(uint32_t channels) {
  AudioSettings settings = linearPCM16Settings(48000, channels);
  settings.formatId = AudioFormatId::mpeg4AAC;
  return settings;
}

// Allocated from the heap and in blocks of their own (large ones are mapped).
inline size_t heapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// The exit status of `body` run in a child whose files may not grow past
// `fileBytes` (write(2) then fails as on a full disk); -1 if it did not exit.
inline int exitStatusInChild(const std::function<int()>& body, rlim_t fileBytes = RLIM_INFINITY) {
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{fileBytes, fileBytes};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(body());
  }
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Standard error from construction on, until taken (after that, "").
class CapturedStderr {
 public:
  CapturedStderr() { testing::internal::CaptureStderr(); }
  ~CapturedStderr() { take(); }
  std::string take() { return std::exchange(taken_, true) ? "" : testing::internal::GetCapturedStderr(); }

 private:
  bool taken_ = false;
};

// Whether `done` came within `seconds` (a busy machine, or a sanitizer, may take a while).
inline bool waitFor(const std::function<bool()>& done, double seconds = 30) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// What `action` writes to standard error.
inline std::string stderrOf(const std::function<void()>& action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

// A whole file's bytes ("" if there is none).
inline std::string bytesOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Appends frames [from, to) of fn to `file` in blocks of `block`; false once a write failed.
inline bool appendFrames(AudioFile& file, int64_t from, int64_t to, const SampleFn& fn, uint32_t block = 1000) {
  auto buffer = PcmBuffer::create(file.processingFormat(), block);
  for (int64_t done = from; done < to; done += block) {
    const auto n = static_cast<uint32_t>(std::min<int64_t>(block, to - done));
    for (uint32_t ch = 0; ch < file.processingFormat().channelCount; ++ch) {
      for (uint32_t i = 0; i < n; ++i) buffer->floatChannelData(ch)[i] = fn(done + i, ch);
    }
    buffer->setFrameLength(n);
    if (Status error = file.write(*buffer)) {
      ADD_FAILURE() << error->domain << " " << error->description;
      return false;
    }
  }
  return true;
}

// Creates `path`, appends `frames` frames of fn in blocks of `block`, and returns the file still open.
inline std::shared_ptr<AudioFile> writeFile(const std::string& path, const AudioSettings& settings, int64_t frames,
                                            const SampleFn& fn, uint32_t block = 1000) {
  auto created = AudioFile::createForWriting(path, settings);
  EXPECT_TRUE(created) << path << ": " << (created ? "" : created.error().description);
  if (!created || !appendFrames(**created, 0, frames, fn, block)) return nullptr;
  EXPECT_EQ((*created)->length(), frames);
  return *created;
}

// Every channel of a file: a CAF as our reader gives it, read in uneven
// blocks; anything else (an output) as libsndfile reads it.
inline std::vector<std::vector<float>> readAll(const std::string& path) {
  if (!path.ends_with(".caf")) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_TRUE(file) << path << ": " << sf_strerror(nullptr);
    if (!file) return {};
    std::vector<float> interleaved(static_cast<size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_float(file, interleaved.data(), info.frames), info.frames) << path;
    sf_close(file);
    std::vector<std::vector<float>> channels(static_cast<size_t>(info.channels));
    for (size_t i = 0; i < interleaved.size(); ++i) channels[i % channels.size()].push_back(interleaved[i]);
    return channels;
  }
  auto file = AudioFile::openForReading(path);
  EXPECT_TRUE(file) << path << ": " << (file ? "" : file.error().description);
  if (!file) return {};
  std::vector<std::vector<float>> channels((*file)->processingFormat().channelCount);
  auto buffer = PcmBuffer::create((*file)->processingFormat(), 3000);
  while (!(*file)->read(*buffer, 2999) && buffer->frameLength() > 0) {
    for (uint32_t ch = 0; ch < channels.size(); ++ch) {
      const float* data = buffer->floatChannelData(ch);
      channels[ch].insert(channels[ch].end(), data, data + buffer->frameLength());
    }
  }
  EXPECT_EQ(static_cast<int64_t>(channels[0].size()), (*file)->length());
  return channels;
}

// Runs a shell command; its standard output, or "<failed>".
inline std::string run(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char chunk[1 << 16];
  for (size_t n; pipe && (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  if (!pipe || pclose(pipe) != 0) return "<failed>";
  return out;
}

// `ffprobe -show_entries` values of the first audio stream, one a line, e.g. probe(path, "stream=duration").
inline std::string probe(const std::string& path, const std::string& entries) {
  std::string out = run("ffprobe -v error -select_streams a:0 -show_entries " + entries +
                        " -of default=nw=1:nk=1 '" + path + "'");
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// Decoded by FFmpeg, stereo interleaved; it keeps the last frame's padding.
inline std::vector<float> decode(const std::string& file) {
  const std::string bytes = run("ffmpeg -v error -i '" + file + "' -f f32le -ac 2 -");
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

// Where the samples rise through 0.3: the leading edge of each click.
inline std::vector<int64_t> onsets(const std::vector<float>& samples) {
  std::vector<int64_t> found;
  for (size_t i = 1; i < samples.size(); ++i) {
    if (samples[i] > 0.3f && samples[i - 1] <= 0.3f) found.push_back(static_cast<int64_t>(i));
  }
  return found;
}

// The two temporary tracks of a recording rec, appended to in uneven blocks
// while what is under test reads them: a noise-like signal, different per
// track, or with `clicks` 3-frame clicks every 0.7 s over quiet noise, the
// system's 5000 frames after the microphone's, or with `bursts` speech-like
// bursts of noise, the microphone's and the system's in turn.
class GrowingTracksTest : public testing::Test {
 protected:
  void SetUp() override {
    for (auto* track : {&mic, &sys}) {
      auto created = AudioFile::createForWriting(dir / (track == &mic ? "rec.mic.caf" : "rec.sys.caf"),
                                                 linearPCM16Settings(48000, 1));
      ASSERT_TRUE(created);
      *track = *created;
    }
  }

  void append(std::shared_ptr<AudioFile>& track, int64_t frames, uint32_t block = 7777) {
    const bool isMic = track == mic;
    const auto sample = [&](int64_t f, uint32_t) {
      const float noise = static_cast<float>((f * (isMic ? 7919 : 104729)) % 65536) / 32768.0f - 1.0f;
      // Bursts: half a second of noise in every 1.5 s, the system's a second after the microphone's and
      // 20 dB quieter, both 40 dB over their floor.
      const bool burst = (f / 24000 + (isMic ? 0 : 2)) % 3 == 0;
      return clicks   ? ((f + (isMic ? 0 : 5000)) % 33600 < 3 ? 0.9f : 0.05f * noise)
             : bursts ? (isMic ? 1.0f : 0.1f) * (burst ? noise : 0.01f * noise)
                      : noise;
    };
    ASSERT_TRUE(appendFrames(*track, track->length(), track->length() + frames, sample, block));
  }

  ScratchDir dir;
  std::shared_ptr<AudioFile> mic, sys;
  bool clicks = false;
  bool bursts = false;
};

}  // namespace orvane
