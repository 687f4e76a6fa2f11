// The names a run derives from its output against a running recording's
// (known only by the locks on its tracks), a FIFO in a track's place, and a
// held file removed where it went.
#include "finalize/temp_paths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "platform/files/private_file.h"
#include "unit/file_helpers.h"

namespace orvane {
namespace {

// A running recording of `output`: its microphone track, locked.
struct LiveRecording {
  explicit LiveRecording(const std::string& output) {
    fd = ::open(siblingPath(output, "mic.caf").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  }
  ~LiveRecording() { ::close(fd); }
  int fd;
};

TEST(TempPaths, EveryNameOfARunningRecordingIsRefusedAndOnlyThose) {
  ScratchDir dir;
  LiveRecording live(dir / "rec.m4a");
  for (const char* name : {"rec.mic.caf", "rec.sys.caf", "rec.drift.json", "rec.partial.m4a", "rec.finishing.m4a",
                           "rec.speech.json", "rec.speech.partial.json"}) {
    Status refused = checkNoRunningRecordingOwns(TempPaths(dir / name), false);
    ASSERT_TRUE(refused) << name;
    EXPECT_EQ(refused->code, EBUSY);
    EXPECT_EQ(refused->description, dir / name + " is a file of a running recording (its temporary track " +
                                        (dir / "rec.mic.caf") + " is in use); choose another --out");
  }
  // Its output is where this run's microphone track would go.
  LiveRecording other(dir / "other.mic.wav");
  EXPECT_TRUE(checkNoRunningRecordingOwns(TempPaths(dir / "other.wav"), false));
  // Names that only look alike, and the same output (its tracks' own lock check says so).
  for (const char* name : {"rec.mic.wav", "record.m4a", "rec.micro.caf", "rec.m4a", "rec.wav", "other.mic.x.wav"}) {
    EXPECT_FALSE(checkNoRunningRecordingOwns(TempPaths(dir / name), false)) << name;
  }
  // A track no longer locked (its recording crashed) belongs to no running recording.
  { LiveRecording crashed(dir / "gone.m4a"); }
  EXPECT_FALSE(checkNoRunningRecordingOwns(TempPaths(dir / "gone.mic.caf"), false));
  EXPECT_FALSE(isTrackInUse(dir / "gone.mic.caf"));
}

// With a speech timeline its two names are the run's too: each is refused at
// the start as the others are, never only when the stop writes it.
TEST(TempPaths, TheSpeechTimelinesNamesJoinTheStartChecksWhenAskedFor) {
  ScratchDir dir;
  const long limit = ::pathconf(dir.dir.c_str(), _PC_NAME_MAX);
  ASSERT_GT(limit, 20);
  // Every other name fits; the unfinished timeline's does not.
  const TempPaths longest(dir / (std::string(static_cast<size_t>(limit) - 14, 'n') + ".wav"));
  EXPECT_FALSE(checkNameLengths(longest, false));
  Status tooLong = checkNameLengths(longest, true);
  ASSERT_TRUE(tooLong);
  EXPECT_EQ(tooLong->code, ENAMETOOLONG);
  EXPECT_EQ(tooLong->description, "the output name is too long: " + std::string(static_cast<size_t>(limit) - 14, 'n') +
                                      ".speech.partial.json would be " + std::to_string(limit + 6) +
                                      " bytes, its folder holds names of at most " + std::to_string(limit));

  const TempPaths rec(dir / "rec.wav");
  for (const char* name : {"rec.speech.json", "rec.speech.partial.json"}) {
    std::filesystem::create_directory(dir / name);
    EXPECT_FALSE(checkNothingInTheWay(rec, false)) << name;
    Status inTheWay = checkNothingInTheWay(rec, true);
    ASSERT_TRUE(inTheWay) << name;
    EXPECT_EQ(inTheWay->description,
              dir / name + " is in the way of a file the recording writes and is none; move it away");
    std::filesystem::remove(dir / name);
  }

  // Read back as an output, the timeline's name is a running recording's.
  LiveRecording live(dir / "rec.speech.wav");
  EXPECT_FALSE(checkNoRunningRecordingOwns(rec, false));
  Status owned = checkNoRunningRecordingOwns(rec, true);
  ASSERT_TRUE(owned);
  EXPECT_EQ(owned->code, EBUSY);
  EXPECT_EQ(owned->description, dir / "rec.speech.json" + " is a file of a running recording (its temporary track " +
                                    (dir / "rec.speech.mic.caf") + " is in use); choose another --out");
}

// A FIFO in a track's place is neither created over nor locked (waited on); the
// reads and the start's checks that meet one: the reliability suite's cases.
TEST(PrivateFile, AFifoIsNeverTakenAndAHeldFileIsRemovedWhereItWentAndNothingTakesItsPlace) {
  ScratchDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  Result<int> created = createPrivateFile(dir / "fifo");
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().code, EEXIST);
  EXPECT_FALSE(lockTrackFile(dir / "fifo"));

  std::filesystem::create_directory(dir / "D");
  Result<int> held = createPrivateFile(dir / "D/rec.mic.caf");
  ASSERT_TRUE(held);
  std::filesystem::rename(dir / "D", dir / "D2");
  EXPECT_EQ(currentName(descriptorPath(*held)), dir / "D2/rec.mic.caf");
  // A file that took the old name is another's.
  std::filesystem::create_directory(dir / "D");
  ASSERT_TRUE(createPrivateFile(dir / "D/rec.mic.caf"));
  EXPECT_TRUE(removeHeldFile(descriptorPath(*held)));
  EXPECT_FALSE(std::filesystem::exists(dir / "D2/rec.mic.caf"));
  EXPECT_TRUE(std::filesystem::exists(dir / "D/rec.mic.caf"));
  EXPECT_EQ(currentName(descriptorPath(*held)), std::nullopt);
  EXPECT_FALSE(removeHeldFile(descriptorPath(*held)));  // no name left: nothing happens
  EXPECT_TRUE(std::filesystem::exists(dir / "D/rec.mic.caf"));
  EXPECT_EQ(currentName(dir / "D/rec.mic.caf"), std::nullopt);  // no descriptor's path
  ::close(*held);
}

}  // namespace
}  // namespace orvane
