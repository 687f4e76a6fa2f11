// The control channel's parser: separators, trimming, case, commands split
// across reads, and bad input. (Argument errors: test_lifecycle.py.)
#include <gtest/gtest.h>

#include <string>

#include "cli/control_channel.h"

namespace orvane {
namespace {

using Commands = std::vector<ControlCommand>;
constexpr auto kPause = ControlCommand::pause;
constexpr auto kResume = ControlCommand::resume;
constexpr auto kStop = ControlCommand::stop;

TEST(ControlParser, SeparatorsTrimmingCaseSplitsAndBadInput) {
  ControlParser parser;
  EXPECT_EQ(parser.feed(" \tpause \t\r\n"), Commands{kPause});
  EXPECT_EQ(parser.feed("pause\nresume\n"), (Commands{kPause, kResume}));
  EXPECT_EQ(parser.feed("\n\n\r\nstop\r\n"), Commands{kStop});
  EXPECT_EQ(parser.feed("PAUSE\nSTOP\nre sume\n"), Commands{});
  // U+0085, U+2028 and U+2029 break lines; U+00A0 and U+3000 are trimmed.
  EXPECT_EQ(parser.feed("pause\xC2\x85resume\xE2\x80\xA8stop\xE2\x80\xA9"), (Commands{kPause, kResume, kStop}));
  EXPECT_EQ(parser.feed("\xC2\xA0pause\xE3\x80\x80\n"), Commands{kPause});
  EXPECT_EQ(parser.feed("\v\fresume\v"), Commands{kResume});
  // A command split across reads is still seen.
  EXPECT_EQ(parser.feed("st"), Commands{});
  EXPECT_EQ(parser.feed("op\n"), Commands{kStop});
  EXPECT_EQ(parser.feed("pau"), Commands{});
  EXPECT_EQ(parser.feed("se\nres"), Commands{kPause});
  EXPECT_EQ(parser.feed("ume"), Commands{kResume});  // a whole word without a line feed acts at once
  EXPECT_EQ(parser.feed("\n"), Commands{});          // ...and only once
  EXPECT_EQ(parser.feed("stop"), Commands{kStop});   // so "stop" without a line feed stops
  // Invalid UTF-8 or an overlong line spoils only itself.
  EXPECT_EQ(parser.feed("\n"), Commands{});
  EXPECT_EQ(parser.feed("pa\xFFuse\nstop\n"), Commands{kStop});
  EXPECT_EQ(parser.feed("\xC0\xAFpause\nresume\n"), Commands{kResume});   // overlong encoding
  EXPECT_EQ(parser.feed("\xED\xA0\x80\npause\n"), Commands{kPause});     // a surrogate
  // A multi-byte character split across reads is joined before it is judged.
  EXPECT_EQ(parser.feed("\xE3\x80"), Commands{});
  EXPECT_EQ(parser.feed("\x80stop\n"), Commands{kStop});
}

// Stray bytes end with their read: they must not swallow the next command.
TEST(ControlParser, AnUnterminatedTailIsKeptOnlyWhileItCanBecomeACommand) {
  ControlParser parser;
  for (const std::string& stray : {std::string("ping"), std::string(10 << 20, 'x'), std::string(3, '\0'),
                                   std::string("stopp"), std::string("\xFF\xFE")}) {
    EXPECT_EQ(parser.feed(stray), Commands{});
    EXPECT_EQ(parser.feed("stop\n"), Commands{kStop}) << stray.substr(0, 8);
  }
  std::string noise(100000, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  parser.feed(noise);
  EXPECT_EQ(parser.feed("pause\n"), Commands{kPause});
  EXPECT_EQ(parser.feed(" \t res"), Commands{});  // blanks and a prefix wait for the rest
  EXPECT_EQ(parser.feed("ume\n"), Commands{kResume});
}

}  // namespace
}  // namespace orvane
