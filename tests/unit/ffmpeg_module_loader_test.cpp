// The FFmpeg writer module: finding it, refusing what is not it, and mapping
// FFmpeg's codec libraries only once a file needs them.
#include "platform/files/ffmpeg_module_loader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/audio_file.h"
#include "platform/files/file_container.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

class FfmpegModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orvane-module-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

void expectUnavailable(const Error& error, const std::string& mentions) {
  EXPECT_EQ(error.domain, kAudioFileErrorDomain);
  EXPECT_EQ(error.code, kWriterUnavailable);
  EXPECT_NE(error.description.find(mentions), std::string::npos) << error.description;
}

// An installed helper (<prefix>/bin and <prefix>/lib/orvane-capture) must find
// its own module before any build tree's, and one beside it before that.
TEST_F(FfmpegModuleTest, LookedForBesideTheExecutableThenInTheInstalledLayoutThenInTheBuild) {
  const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
  const std::vector<std::string> candidates = ffmpegModuleCandidates();
  ASSERT_EQ(candidates.size(), 3u);
  EXPECT_EQ(candidates[0], (bin / kFfmpegModuleFileName).string());
  EXPECT_EQ(candidates[1], (bin.parent_path() / "lib" / "orvane-capture" / kFfmpegModuleFileName).string());
  EXPECT_EQ(fs::path(candidates[2]).filename(), kFfmpegModuleFileName);
  EXPECT_TRUE(fs::exists(candidates[2])) << candidates[2];
}

TEST_F(FfmpegModuleTest, LocatingTakesTheFirstThatExistsAndNamesEveryPlaceLookedIn) {
  std::ofstream(path("second.so")) << "x";
  std::ofstream(path("third.so")) << "x";
  auto found = locateFfmpegModule({path("first.so"), path("second.so"), path("third.so")});
  ASSERT_TRUE(found) << found.error().description;
  EXPECT_EQ(*found, path("second.so"));

  auto missing = locateFfmpegModule({path("a.so"), path("b.so")});
  ASSERT_FALSE(missing);
  expectUnavailable(missing.error(), path("a.so") + ", " + path("b.so"));
}

TEST_F(FfmpegModuleTest, LoadingAnythingButTheModuleIsAnErrorNamingIt) {
  std::ofstream(path("text.so")) << "not a shared object\n";
  // A real shared library, but without the module's entry point.
  for (const std::string& wrong : {path("absent.so"), path("text.so"), std::string("libm.so.6")}) {
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

TEST_F(FfmpegModuleTest, CodecLibrariesAreMappedOnlyOnceAFileNeedsThem) {
  // A fresh process: in this one an earlier test may have loaded the module already.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(mapOnlyWhenNeeded(dir_.string())), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace orvane
