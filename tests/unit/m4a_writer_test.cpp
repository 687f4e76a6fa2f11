// M4aWriter: the same packets read back by ffprobe and FFmpeg's decoder as
// from FFmpeg's own muxer, memory that stays flat over a long stream while
// FFmpeg's muxer's grows, and a cut-back through the file layer.
#include <cmath>

#include "platform/files/aac_encoding.h"
#include "platform/files/ffmpeg_module_loader.h"
#include "platform/files/file_container.h"
#include "platform/files/m4a_writer.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

struct Packet {
  int64_t pts, duration;
  int flags;
  std::vector<uint8_t> bytes;
  AacPacket view() const { return {pts, duration, flags, bytes.data(), bytes.size()}; }
};

struct Encoded {
  AacStream stream;
  std::vector<Packet> packets;
};

// `frames` frames of a tone on the right, a click every 0.1 s on the left, in one pass.
Encoded encodeTone(int64_t frames) {
  auto encoder = createAacEncoder(aacSettings(2), 0);
  EXPECT_TRUE(encoder);
  Encoded out{(*encoder)->stream(), {}};
  const AacPacketSink keep = [&out](const AacPacket& p) -> Status {
    out.packets.push_back({p.pts, p.duration, p.flags, std::vector<uint8_t>(p.data, p.data + p.size)});
    return std::nullopt;
  };
  auto buffer = PcmBuffer::create(AudioFormat::standard(48000, 2), 4000);
  for (int64_t done = 0; done < frames; done += 4000) {
    const auto n = static_cast<uint32_t>(std::min<int64_t>(4000, frames - done));
    for (uint32_t i = 0; i < n; ++i) {
      const int64_t f = done + i;
      buffer->floatChannelData(0)[i] = f % 4800 < 24 ? 0.8f : 0.0f;
      buffer->floatChannelData(1)[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 440 * f / 48000.0));
    }
    buffer->setFrameLength(n);
    EXPECT_FALSE((*encoder)->encode(*buffer, keep));
  }
  EXPECT_FALSE((*encoder)->flush(keep));
  return out;
}

std::unique_ptr<AacContainer> ours(const std::string& path, const AacStream& stream) {
  auto writer = M4aWriter::create(path, stream, M4aBrand::m4a);
  EXPECT_TRUE(writer) << (writer ? "" : writer.error().description);
  return writer ? std::move(*writer) : nullptr;
}

// FFmpeg's muxer for .m4a, as the outputs were written before.
std::unique_ptr<AacContainer> ffmpegs(const std::string& path, const AacStream& stream) {
  auto module = ffmpegModule();
  EXPECT_TRUE(module);
  auto muxer = (*module)->createAacMuxer(path, stream, *findContainer(path));
  EXPECT_TRUE(muxer) << (muxer ? "" : muxer.error().description);
  return muxer ? std::move(*muxer) : nullptr;
}

void writeAll(AacContainer& container, const std::vector<Packet>& packets) {
  for (const Packet& packet : packets) ASSERT_FALSE(container.append(packet.view()));
  ASSERT_FALSE(container.close());
}

// Every fact of the stream and the container that a reader goes by, "key=value" a line.
std::string facts(const std::string& path) {
  return run("ffprobe -v error -show_entries stream=codec_name,profile,sample_rate,channels,time_base,start_pts,"
             "duration_ts,nb_frames:format=format_name,duration -of default=nw=1 '" + path + "'");
}

TEST(M4aWriter, TheSamePacketsReadAsFromFfmpegsMuxer) {
  ScratchDir dir;
  const int64_t frames = 3 * 48000 + 321;  // not a multiple of the 1024-frame AAC frame
  const Encoded encoded = encodeTone(frames);
  writeAll(*ours(dir / "ours.m4a", encoded.stream), encoded.packets);
  writeAll(*ffmpegs(dir / "theirs.m4a", encoded.stream), encoded.packets);
  const std::string probed = facts(dir / "ours.m4a");
  EXPECT_EQ(probed, facts(dir / "theirs.m4a"));
  EXPECT_NE(probed.find("duration_ts=" + std::to_string(frames) + "\n"), std::string::npos) << probed;
  EXPECT_NE(probed.find("format_name=mov,mp4,m4a,3gp,3g2,mj2\n"), std::string::npos) << probed;
  const std::vector<float> decoded = decode(dir / "ours.m4a");
  ASSERT_GE(decoded.size(), size_t(2 * frames));
  EXPECT_TRUE(decoded == decode(dir / "theirs.m4a")) << "sample for sample";
  // Sample-exact start: the first click is at frame 0, not 1024 frames on.
  EXPECT_GT(std::fabs(decoded[2 * 10]), 0.3f);
}

// An hour and a half of packets (the same few seconds again and again): the
// writer's heap does not grow with them, FFmpeg's muxer's does (its index),
// and the tables come out whole.
TEST(M4aWriter, MemoryStaysFlatOverALongStream) {
  ScratchDir dir;
#ifdef ORVANE_SANITIZED
  GTEST_SKIP() << "the sanitizers' allocators keep no heap statistics";
#endif
  const Encoded encoded = encodeTone(5 * 48000);
  const int64_t count = 250'000;
  const auto grows = [&](AacContainer& container) {
    size_t early = 0;
    for (int64_t i = 0; i < count; ++i) {
      Packet packet = encoded.packets[1 + i % (encoded.packets.size() - 2)];
      packet.pts = -1024 + i * 1024;
      packet.duration = 1024;
      EXPECT_FALSE(container.append(packet.view()));
      if (i == 10'000) early = heapInUse();
    }
    return static_cast<int64_t>(heapInUse()) - static_cast<int64_t>(early);
  };
  auto theirs = ffmpegs(dir / "theirs.m4a", encoded.stream);
  EXPECT_GT(grows(*theirs), 4'000'000) << "the measure sees an index that grows";
  theirs.reset();
  std::filesystem::remove(dir / "theirs.m4a");
  auto writer = ours(dir / "long.m4a", encoded.stream);
  EXPECT_LT(grows(*writer), 64 * 1024);
  ASSERT_FALSE(writer->close());
  EXPECT_EQ(probe(dir / "long.m4a", "stream=duration_ts,nb_frames"),
            std::to_string((count - 1) * 1024) + "\n" + std::to_string(count));
}

// An AAC output cut back and written on from where the cut-back asks decodes
// sample for sample as one written in one pass, whether its container cuts
// back itself (ours) or is written again from the packets kept (FFmpeg's
// muxers): the new encoder's pre-roll primes it as the one pass was.
TEST(AacFile, ACutBackAndTheFramesWrittenAgainDecodeAsTheOnePass) {
  ScratchDir dir;
  const AudioSettings settings = aacSettings(2);
  const int64_t frames = 8 * 48000 + 77, cut = 5 * 48000;
  const SampleFn tone = [](int64_t f, uint32_t ch) { return static_cast<float>(0.3 * std::sin(0.05 * f * (ch + 1))); };
  for (const char* ext : {"m4a", "mka"}) {
    writeFile(dir / (std::string("once.") + ext), settings, frames, tone)->close();
    auto file = writeFile(dir / (std::string("cut.") + ext), settings, frames, tone);
    Result<int64_t> from = file->truncate(cut);
    ASSERT_TRUE(from) << ext;
    EXPECT_LE(*from, cut);
    ASSERT_TRUE(appendFrames(*file, *from, frames, tone));
    ASSERT_FALSE(file->close());
    const std::vector<float> once = decode(dir / (std::string("once.") + ext));
    const std::vector<float> again = decode(dir / (std::string("cut.") + ext));
    ASSERT_GE(once.size(), size_t(2 * frames));
    EXPECT_TRUE(once == again) << ext;
  }
}

}  // namespace
}  // namespace orvane
