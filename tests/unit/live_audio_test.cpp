// The live audio against the output the finisher makes of the same tracks,
// the socket that never waits, and the ratio a track is heard live at before
// its rate is measured.
#include <sys/socket.h>
#include <sys/un.h>

#include <cmath>

#include "finalize/drift.h"
#include "finalize/finisher.h"
#include "finalize/live_audio.h"
#include "platform/runtime/stream_socket.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

// A host's listening socket and the connection it accepted.
struct Listener {
  explicit Listener(const std::string& path) : path(path) {
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd, 1), 0);
  }
  ~Listener() {
    if (peer >= 0) ::close(peer);
    ::close(fd);
  }
  // Connects a writer and accepts it; a receive buffer of `receiveBytes` when given.
  std::unique_ptr<StreamSocket> connect(int receiveBytes = 0) {
    auto socket = StreamSocket::connect(path);
    EXPECT_TRUE(socket);
    peer = ::accept(fd, nullptr, nullptr);
    if (receiveBytes) ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &receiveBytes, sizeof receiveBytes);
    return socket ? std::move(*socket) : nullptr;
  }
  // Everything until the writer closes.
  std::vector<uint8_t> readAll() {
    std::vector<uint8_t> bytes;
    uint8_t part[65536];
    for (ssize_t got; (got = ::recv(peer, part, sizeof part, 0)) > 0;) bytes.insert(bytes.end(), part, part + got);
    return bytes;
  }
  std::string path;
  int fd = -1;
  int peer = -1;
};

struct Chunk {
  uint64_t index;
  uint32_t flags;
  std::vector<int16_t> samples;  // interleaved
};

std::vector<Chunk> chunksOf(const std::vector<uint8_t>& bytes) {
  std::vector<Chunk> chunks;
  for (size_t at = 0; at + 16 <= bytes.size();) {
    Chunk chunk{};
    uint32_t frames = 0;
    std::memcpy(&chunk.index, &bytes[at], 8);
    std::memcpy(&frames, &bytes[at + 8], 4);
    std::memcpy(&chunk.flags, &bytes[at + 12], 4);
    at += 16;
    EXPECT_LE(at + frames * 4, bytes.size()) << "a chunk cut short";
    if (at + frames * 4 > bytes.size()) break;
    chunk.samples.resize(frames * 2);
    std::memcpy(chunk.samples.data(), &bytes[at], frames * 4);
    at += frames * 4;
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

// One channel of the frames the chunks carry, at their indices.
std::vector<float> channelOf(const std::vector<Chunk>& chunks, int channel) {
  std::vector<float> samples;
  for (const Chunk& chunk : chunks) {
    samples.resize(chunk.index + chunk.samples.size() / 2);
    for (size_t i = 0; i < chunk.samples.size() / 2; ++i) {
      samples[chunk.index + i] = chunk.samples[2 * i + channel] / 32768.0f;
    }
  }
  return samples;
}

// The live audio and the finisher reading the tracks while they grow, with clicks.
class LiveAudioTest : public GrowingTracksTest {
 protected:
  void SetUp() override {
    GrowingTracksTest::SetUp();
    clicks = true;
  }

  // A recording of `seconds` heard live at `rate`, its tracks `ppm` off as
  // measured; the chunks the host got, and the output's samples.
  std::vector<Chunk> record(int rate, double seconds, double ppm, std::vector<std::vector<float>>& output) {
    Listener host(dir / "live.sock");
    auto live = std::make_unique<LiveAudio>(host.connect(), rate);
    std::thread reader([&] { chunks = chunksOf(host.readAll()); });
    std::atomic<double> recorded{0};
    // Stamped over 200 s more than the test takes: the rates are measured from the first frame on.
    auto timelines = [&recorded, ppm] {
      const double until = 200 + recorded.load();
      const auto frames = [&](double start) {
        return TrackTimeline{start, 0, start + until, std::llround(until * 48000 * (1 + ppm * 1e-6)), start};
      };
      return TrackTimelines{frames(10.0), frames(10.25)};
    };
    Finisher finisher(dir / "rec.wav", dir / "rec.finishing.wav", outputSettings(true), dir / "rec.mic.caf",
                      dir / "rec.sys.caf", timelines);
    finisher.setLive(std::move(live));
    finisher.start();
    for (double at = 0; at < seconds; at += 0.25) {
      append(mic, 12000);
      append(sys, 12000);
      recorded = at + 0.25;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));  // a host keeps up at 10 times real time
    }
    mic->close();
    sys->close();
    const double ratio = correctionRatio(48000 * (1 + ppm * 1e-6), 48000);
    EXPECT_TRUE(finisher.ready(TrackSource{dir / "rec.mic.caf", 10.0}, TrackSource{dir / "rec.sys.caf", 10.25},
                               ratio, ratio));
    reader.join();
    InterleaveOutcome outcome;
    EXPECT_TRUE(finisher.finish(outcome));
    output = readAll(dir / "rec.wav");
    return chunks;
  }

  std::vector<Chunk> chunks;
};

// At 16 kHz, with both tracks 100 ppm fast and corrected from their first
// frame on: a third of the output's frames, each click at a third of the
// output's frame (the resampler keeps the timeline, it delays nothing).
TEST_F(LiveAudioTest, AtSixteenKilohertzEveryClickLiesAtAThirdOfTheOutputsFrame) {
  std::vector<std::vector<float>> output;
  const std::vector<Chunk> heard = record(16000, 6.0, 100, output);
  for (int channel : {0, 1}) {
    const std::vector<int64_t> ours = onsets(channelOf(heard, channel)), theirs = onsets(output[channel]);
    ASSERT_EQ(ours.size(), theirs.size());
    ASSERT_GE(ours.size(), 7u);
    for (size_t k = 0; k < ours.size(); ++k) EXPECT_NEAR(3 * ours[k], theirs[k], 3) << k;
  }
  const int64_t frames = static_cast<int64_t>(heard.back().index + heard.back().samples.size() / 2);
  EXPECT_NEAR(3 * frames, static_cast<int64_t>(output[0].size()), 3);
}

// A message goes in whole or not at all: one the socket took part of is
// finished before the next is looked at, so the reader never sees a chunk
// cut. (A reader that went, and a socket nobody listens on: the live audio's
// process test.)
TEST(StreamSocketTest, AFullSocketTakesWholeMessagesOrNone) {
  ScratchDir dir;
  Listener host(dir / "host.sock");
  auto socket = host.connect(4096);
  std::vector<uint8_t> message(50000);
  std::vector<int> sent;
  for (int k = 0; k < 40; ++k) {
    std::fill(message.begin(), message.end(), static_cast<uint8_t>(k));
    const StreamSocket::Sent result = socket->send(message.data(), message.size());
    ASSERT_NE(result, StreamSocket::Sent::closed);
    if (result == StreamSocket::Sent::whole) sent.push_back(k);
  }
  ASSERT_LT(sent.size(), 40u);  // the socket filled
  std::thread reader([&] {
    const std::vector<uint8_t> bytes = host.readAll();
    ASSERT_EQ(bytes.size(), sent.size() * message.size());
    for (size_t k = 0; k < sent.size(); ++k) {
      for (size_t i = 0; i < message.size(); i += 997) ASSERT_EQ(bytes[k * message.size() + i], sent[k]);
    }
  });
  EXPECT_TRUE(socket->drain(5));
  socket.reset();
  reader.join();
}

// Before its rate is measured a track is heard at the rate its stamps show,
// when that is far enough off for noise not to make it: over two hours with
// both clocks 100 ppm off and stamps jittering by a millisecond, every frame
// lies within 10 ms of where the output (at the final measurement) puts it,
// and a track a few ppm off is left alone until it is measured.
TEST(ProvisionalRatioTest, KeepsEveryFrameWithinTenMillisecondsOfTheOutputOverTwoHours) {
  for (const double ppm : {100.0, -100.0, 39.0, 6.0}) {
    const double rate = 48000 * (1 + ppm * 1e-6);
    auto timelineAt = [&](double seconds, int k) {
      const double jitter = ((k * 7919) % 2001 - 1000) * 1e-6;  // within a millisecond
      return TrackTimeline{100.0, 0, 100.0 + seconds + jitter, std::llround(seconds * rate), 100.0};
    };
    const double final = correctionRatio(rate, 48000);
    double worst = 0;
    // The ratio the live audio's resampler takes as each 10 s span begins;
    // its frames lie at ratio·i, the output's at the final ratio·i.
    for (int k = 0; k < 720; ++k) {
      const double ratio = provisionalRatio(timelineAt(10.0 * k + 0.3, k), 48000);
      if (std::fabs(ppm) < 40 && k < 12) {
        EXPECT_EQ(ratio, 1.0) << ppm << " at " << 10 * k << " s";
      }
      const double lastFrame = 10.0 * (k + 1) * 48000 - 1;
      worst = std::max(worst, std::fabs(ratio - final) * lastFrame / 48.0);
    }
    EXPECT_LT(worst, 10.0) << ppm << " ppm: " << worst << " ms";
  }
}

}  // namespace
}  // namespace orvane
