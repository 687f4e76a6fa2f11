// The FFmpeg writer module: finding it, refusing what is not it, and mapping
// FFmpeg's codec libraries only once a file needs them.
#include "platform/files/ffmpeg_module_loader.h"

#include <fstream>
#include <sstream>

#include "platform/files/file_container.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

void expectUnavailable(const Error& error, const std::string& mentions) {
  EXPECT_EQ(error.domain, kAudioFileErrorDomain);
  EXPECT_EQ(error.code, kWriterUnavailable);
  EXPECT_NE(error.description.find(mentions), std::string::npos) << error.description;
}

TEST(FfmpegModule, LocatingTakesTheFirstThatExistsAndLoadingAnythingElseIsAnErrorNamingIt) {
  ScratchDir dir;
  std::ofstream(dir / "second.so") << "x";
  std::ofstream(dir / "third.so") << "x";
  auto found = locateFfmpegModule({dir / "first.so", dir / "second.so", dir / "third.so"});
  ASSERT_TRUE(found) << found.error().description;
  EXPECT_EQ(*found, dir / "second.so");
  auto missing = locateFfmpegModule({dir / "a.so", dir / "b.so"});
  ASSERT_FALSE(missing);
  expectUnavailable(missing.error(), dir / "a.so" + ", " + dir / "b.so");

  // libm is a real shared library, but without the module's entry point.
  for (const std::string& wrong : {dir / "absent.so", dir / "second.so", std::string("libm.so.6")}) {
    auto loaded = loadFfmpegModule(wrong);
    ASSERT_FALSE(loaded) << wrong;
    expectUnavailable(loaded.error(), "cannot load the FFmpeg writer module " + wrong + ": ");
  }
  EXPECT_NE(loadFfmpegModule("libm.so.6").error().description.find(kFfmpegModuleEntryPoint), std::string::npos);
}

bool codecLibrariesMapped() {
  std::ifstream maps("/proc/self/maps");
  std::stringstream text;
  text << maps.rdbuf();
  return text.str().find("libavcodec.so") != std::string::npos ||
         text.str().find("libavformat.so") != std::string::npos;
}

// Exit code: 0 when FFmpeg's codec libraries came in with the first AAC file and not before.
int mapOnlyWhenNeeded(const std::string& dir) {
  if (codecLibrariesMapped()) return 1;
  auto wav = AudioFile::createForWriting(dir + "/a.wav", linearPCM16Settings(48000, 2));
  if (!wav || codecLibrariesMapped()) return 2;
  AudioSettings aac = linearPCM16Settings(48000, 2);
  aac.formatId = AudioFormatId::mpeg4AAC;
  if (checkCanCreate(dir + "/a.m4a", aac) || codecLibrariesMapped()) return 3;
  auto m4a = AudioFile::createForWriting(dir + "/a.m4a", aac);
  if (!m4a || !codecLibrariesMapped()) return 4;
  return 0;
}

TEST(FfmpegModule, CodecLibrariesAreMappedOnlyOnceAFileNeedsThem) {
  // A fresh process: in this one an earlier test may have loaded the module already.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScratchDir dir;
  EXPECT_EXIT(std::exit(mapOnlyWhenNeeded(dir.dir)), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace orvane
