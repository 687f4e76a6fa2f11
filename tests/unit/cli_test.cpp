// The event-line framing, the argument table and the control-channel parser.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <variant>

#include "cli/args.h"
#include "cli/control_channel.h"
#include "cli/output.h"

namespace orvane {
namespace {

// Puts a SOCK_SEQPACKET socket behind `fd`: every write() becomes one packet,
// so a test sees exactly how many writes a line took.
class PacketCapture {
 public:
  explicit PacketCapture(int fd) : fd_(fd) {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair_), 0);
    std::fflush(stdout);
    saved_ = dup(fd_);
    dup2(pair_[0], fd_);
  }
  ~PacketCapture() {
    std::fflush(stdout);
    dup2(saved_, fd_);
    close(saved_);
    close(pair_[0]);
    close(pair_[1]);
  }
  std::string nextPacket() {
    char buffer[8192];
    ssize_t n = recv(pair_[1], buffer, sizeof buffer, MSG_DONTWAIT);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }

 private:
  int fd_;
  int pair_[2]{-1, -1};
  int saved_ = -1;
};

TEST(EventOutput, EachLineIsOneWriteWithItsLineFeedAndReachesTheReaderAtOnce) {
  PacketCapture out(STDOUT_FILENO);
  emit("STATUS starting");
  emit("ERROR disk_write_failed");
  emit("LEVEL 0.250");
  emit(std::string(1000, 'x'));
  EXPECT_EQ(out.nextPacket(), "STATUS starting\n");
  EXPECT_EQ(out.nextPacket(), "ERROR disk_write_failed\n");
  EXPECT_EQ(out.nextPacket(), "LEVEL 0.250\n");
  EXPECT_EQ(out.nextPacket(), std::string(1000, 'x') + "\n");
  EXPECT_EQ(out.nextPacket(), "");
}

TEST(EventOutput, DiagIsOnePrefixedWriteOnStandardErrorOnly) {
  PacketCapture out(STDOUT_FILENO);
  PacketCapture err(STDERR_FILENO);
  diag("mic tap format: 48000.0 Hz, 1 ch");
  EXPECT_EQ(err.nextPacket(), "[orvane-capture] mic tap format: 48000.0 Hz, 1 ch\n");
  EXPECT_EQ(err.nextPacket(), "");
  EXPECT_EQ(out.nextPacket(), "");
}

TEST(EventOutputDeathTest, FailWritesTheErrorLineAndExitsWithTwo) {
  EXPECT_EXIT(fail("args", "--out <path> is required"), testing::ExitedWithCode(2), "");
  EXPECT_EXIT(finish("STATUS stopped /tmp/x.m4a", 0), testing::ExitedWithCode(0), "");
}

// --- argument table

ParsedArgs parsedOrFail(std::vector<std::string> args) {
  args.insert(args.begin(), "orvane-capture");
  auto result = parseArgs(args);
  if (auto* error = std::get_if<ArgsError>(&result)) ADD_FAILURE() << "unexpected error: " << error->message;
  return std::get_if<ParsedArgs>(&result) ? std::get<ParsedArgs>(result) : ParsedArgs{};
}

std::string errorOf(std::vector<std::string> args) {
  args.insert(args.begin(), "orvane-capture");
  auto result = parseArgs(args);
  auto* error = std::get_if<ArgsError>(&result);
  return error ? error->message : "<no error>";
}

TEST(ParseArgs, MissingOrEmptyOutputIsRequired) {
  EXPECT_EQ(errorOf({}), "--out <path> is required");
  EXPECT_EQ(errorOf({"--out"}), "--out <path> is required");
  EXPECT_EQ(errorOf({"--out", ""}), "--out <path> is required");
  EXPECT_EQ(errorOf({"--wav"}), "--out <path> is required");
}

TEST(ParseArgs, FirstUnknownArgumentIsReportedVerbatim) {
  EXPECT_EQ(errorOf({"--out", "/tmp/a.m4a", "--WAV", "--bogus"}), "unknown argument --WAV");
  EXPECT_EQ(errorOf({"--out=/tmp/a.m4a"}), "unknown argument --out=/tmp/a.m4a");
  EXPECT_EQ(errorOf({"-o", "x"}), "unknown argument -o");
}

TEST(ParseArgs, OptionsInAnyOrderAndLastModeWins) {
  auto parsed = parsedOrFail({"--wav", "--mic-only", "--out", "/tmp/a.m4a", "--system-only", "--keep-temps"});
  EXPECT_EQ(parsed.outputPath, "/tmp/a.m4a");
  EXPECT_EQ(parsed.mode, Recorder::Mode::systemOnly);
  EXPECT_TRUE(parsed.writeWav);
  EXPECT_TRUE(parsed.keepTemps);
  EXPECT_FALSE(parsed.voiceProcessing);
  EXPECT_EQ(parsedOrFail({"--system-only", "--mic-only", "--out", "/a"}).mode, Recorder::Mode::micOnly);
  EXPECT_EQ(parsedOrFail({"--out", "/a", "--out", "/b"}).outputPath, "/b");
}

TEST(ParseArgs, OutValueIsTakenVerbatimAndMadeAbsolute) {
  auto parsed = parsedOrFail({"--out", "--wav"});
  EXPECT_FALSE(parsed.writeWav);
  EXPECT_EQ(parsed.outputPath, (std::filesystem::current_path() / "--wav").string());
  EXPECT_EQ(parsedOrFail({"--out", "./rec.m4a"}).outputPath,
            (std::filesystem::current_path() / "rec.m4a").string());
}

TEST(ParseArgs, FinalizeTempsAlsoWritesWav) {
  auto parsed = parsedOrFail({"--finalize-temps", "--out", "/tmp/a.m4a"});
  EXPECT_TRUE(parsed.finalizeTemps);
  EXPECT_TRUE(parsed.writeWav);
}

// --- control channel

using Commands = std::vector<ControlCommand>;
constexpr auto kPause = ControlCommand::pause;
constexpr auto kResume = ControlCommand::resume;
constexpr auto kStop = ControlCommand::stop;

TEST(ControlParser, SeparatorsTrimmingAndCase) {
  ControlParser parser;
  EXPECT_EQ(parser.feed(" \tpause \t\r\n"), Commands{kPause});
  EXPECT_EQ(parser.feed("pause\nresume\n"), (Commands{kPause, kResume}));
  EXPECT_EQ(parser.feed("\n\n\r\nstop\r\n"), Commands{kStop});
  EXPECT_EQ(parser.feed("PAUSE\nSTOP\nre sume\n"), Commands{});
  // U+0085, U+2028 and U+2029 break lines; U+00A0 and U+3000 are trimmed.
  EXPECT_EQ(parser.feed("pause\xC2\x85resume\xE2\x80\xA8stop\xE2\x80\xA9"), (Commands{kPause, kResume, kStop}));
  EXPECT_EQ(parser.feed("\xC2\xA0pause\xE3\x80\x80\n"), Commands{kPause});
  EXPECT_EQ(parser.feed("\v\fresume\v"), Commands{kResume});
}

TEST(ControlParser, CommandSplitAcrossReadsIsStillSeen) {
  ControlParser parser;
  EXPECT_EQ(parser.feed("st"), Commands{});
  EXPECT_EQ(parser.feed("op\n"), Commands{kStop});
  EXPECT_EQ(parser.feed("pau"), Commands{});
  EXPECT_EQ(parser.feed("se\nres"), Commands{kPause});
  EXPECT_EQ(parser.feed("ume"), Commands{kResume});  // a whole word without a line feed acts at once
  EXPECT_EQ(parser.feed("\n"), Commands{});          // ...and only once
}

TEST(ControlParser, StopWithoutLineFeedStopsAtOnce) {
  ControlParser parser;
  EXPECT_EQ(parser.feed("stop"), Commands{kStop});
}

TEST(ControlParser, InvalidUtf8SpoilsOnlyItsOwnLine) {
  ControlParser parser;
  EXPECT_EQ(parser.feed("pa\xFFuse\nstop\n"), Commands{kStop});
  EXPECT_EQ(parser.feed("\xC0\xAFpause\nresume\n"), Commands{kResume});   // overlong encoding
  EXPECT_EQ(parser.feed("\xED\xA0\x80\npause\n"), Commands{kPause});     // a surrogate
  // A multi-byte character split across reads is joined before it is judged.
  EXPECT_EQ(parser.feed("\xE3\x80"), Commands{});
  EXPECT_EQ(parser.feed("\x80stop\n"), Commands{kStop});
}

TEST(ControlParser, OverlongUnterminatedLineIsDroppedUpToItsEnd) {
  ControlParser parser;
  EXPECT_EQ(parser.feed(std::string(100, 'x')), Commands{});
  EXPECT_EQ(parser.feed("stop\n"), Commands{});  // still the same long line
  EXPECT_EQ(parser.feed("stop\n"), Commands{kStop});
}

}  // namespace
}  // namespace orvane
