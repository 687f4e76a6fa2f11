// The scripted system-audio service and the scripted disk: buffers on the
// output queue with their presentation times, screen buffers in between, a
// stop with an error, start and query failures, and failing or blocking writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "platform/serial_queue.h"
#include "support/sim_backend.h"
#include "support/sim_clock.h"
#include "support/sim_disk.h"
#include "support/sim_stream.h"

namespace orvane::sim {
namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 30s;

struct Received {
  StreamOutputType type;
  AudioFormat format;
  uint32_t frames;
  std::optional<double> seconds;
  bool onQueue;
};

class RecordingDelegate : public StreamDelegate {
 public:
  explicit RecordingDelegate(SerialQueue& queue) : queue_(queue) {}
  void streamDidOutputSampleBuffer(const SampleBuffer& buffer, StreamOutputType type) override {
    std::lock_guard lock(mutex_);
    received.push_back({type, buffer.format, buffer.frameCount, buffer.presentationSeconds, queue_.isCurrent()});
    cv_.notify_all();
  }
  void streamDidStopWithError(const Error& error) override {
    std::lock_guard lock(mutex_);
    errors.push_back(error.description);
    if (stream) stream->stopCapture([](const Status&) {});  // as the recorder's stop does, from this thread
    cv_.notify_all();
  }
  template <class Pred>
  bool waitUntil(Pred pred) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kPatience, [&] { return pred(); });
  }
  size_t audioCount() const {
    size_t n = 0;
    for (const Received& r : received) n += r.type == StreamOutputType::audio;
    return n;
  }

  std::mutex mutex_;
  std::vector<Received> received;
  std::vector<std::string> errors;
  SystemAudioStream* stream = nullptr;

 private:
  SerialQueue& queue_;
  std::condition_variable cv_;
};

class SimStreamTest : public testing::Test {
 protected:
  void SetUp() override { SimClock::install(100); }
  void TearDown() override { SimClock::uninstall(); }

  SystemScript script;
  SerialQueue queue{"test.audio"};
  RecordingDelegate delegate{queue};

  std::unique_ptr<SimStream> started() {
    auto stream = std::make_unique<SimStream>(script, delegate);
    delegate.stream = stream.get();
    EXPECT_FALSE(stream->addOutput(StreamOutputType::screen, queue));
    EXPECT_FALSE(stream->addOutput(StreamOutputType::audio, queue));
    std::atomic<bool> completed{false};
    stream->startCapture([&](const Status& status) {
      EXPECT_FALSE(status);
      completed = true;
    });
    EXPECT_TRUE(completed);
    return stream;
  }
};

TEST_F(SimStreamTest, AudioArrivesOnTheOutputQueueStampedFromTheFrameIndexWithScreenBuffersBetween) {
  script.signal.kind = SignalKind::sine;
  script.ppm = -300;
  script.screenEvery = 4;
  auto stream = started();
  ASSERT_TRUE(delegate.waitUntil([&] { return delegate.audioCount() >= 40; }));
  stream->stopCapture([](const Status&) {});
  queue.drain();
  std::lock_guard lock(delegate.mutex_);
  std::vector<double> stamps;
  size_t screens = 0;
  for (const Received& r : delegate.received) {
    EXPECT_TRUE(r.onQueue);
    if (r.type == StreamOutputType::screen) {
      ++screens;
      continue;
    }
    EXPECT_EQ(r.format, (AudioFormat{48000, 2, SampleType::float32, true}));
    EXPECT_EQ(r.frames, 1024u);
    ASSERT_TRUE(r.seconds);
    stamps.push_back(*r.seconds);
  }
  EXPECT_EQ(screens, stamps.size() / 4);
  for (size_t k = 1; k < stamps.size(); ++k) {
    EXPECT_NEAR(stamps[k] - stamps[0], k * 1024 / (48000 * (1 - 300e-6)), 2e-9) << k;
  }
  EXPECT_EQ(stream->calls(), (std::vector<std::string>{"addOutput screen", "addOutput audio", "startCapture",
                                                        "stopCapture"}));
}

TEST_F(SimStreamTest, BuffersWithoutTimestampsCarryNoPresentationTime) {
  script.signal.kind = SignalKind::zeros;
  script.noTimestamps = true;
  auto stream = started();
  ASSERT_TRUE(delegate.waitUntil([&] { return delegate.audioCount() >= 5; }));
  stream->stopCapture([](const Status&) {});
  queue.drain();
  std::lock_guard lock(delegate.mutex_);
  for (const Received& r : delegate.received) EXPECT_FALSE(r.seconds);
}

TEST_F(SimStreamTest, StopWithErrorReachesTheDelegateOnceAndEndsDelivery) {
  script.signal.kind = SignalKind::zeros;
  script.stopWithErrorAtSeconds = 1.0;
  script.stopErrorMessage = "sink removed";
  auto stream = started();
  ASSERT_TRUE(delegate.waitUntil([&] { return !delegate.errors.empty(); }));
  queue.drain();
  size_t atStop;
  {
    std::lock_guard lock(delegate.mutex_);
    EXPECT_EQ(delegate.errors, std::vector<std::string>{"sink removed"});
    atStop = delegate.audioCount();
    // 1.0 s of 1024-frame buffers, the last one complete before the error.
    EXPECT_EQ(atStop, 46u);
  }
  std::this_thread::sleep_for(30ms);  // 3 s of host time
  queue.drain();
  std::lock_guard lock(delegate.mutex_);
  EXPECT_EQ(delegate.audioCount(), atStop);
  EXPECT_EQ(delegate.errors.size(), 1u);
}

TEST_F(SimStreamTest, StartErrorCompletesOnAnotherThread) {
  script.startError = "monitor source missing";
  SimStream stream(script, delegate);
  std::promise<std::pair<std::string, std::thread::id>> answer;
  stream.startCapture([&](const Status& status) {
    answer.set_value({status ? status->description : "", std::this_thread::get_id()});
  });
  auto future = answer.get_future();
  ASSERT_EQ(future.wait_for(kPatience), std::future_status::ready);
  const auto [description, thread] = future.get();
  EXPECT_EQ(description, "monitor source missing");
  EXPECT_NE(thread, std::this_thread::get_id());
}

TEST(SimScreenCaptureTest, AnswersDisplaysAndFailuresAsScripted) {
  Scenario scenario = Scenario::fromJson(nlohmann::json::parse(
      R"({"system": {"displays": ["hdmi", "speakers"], "preflight": false, "request": true}})"));
  SimBackend backend(scenario);
  SimScreenCapture& screen = backend.simScreenCapture();
  EXPECT_FALSE(screen.preflightAccess());
  EXPECT_TRUE(screen.requestAccess());
  auto displays = screen.shareableDisplays();
  ASSERT_TRUE(displays);
  ASSERT_EQ(displays->size(), 2u);
  EXPECT_EQ((*displays)[0].id, "hdmi");

  SerialQueue queue{"test.audio"};
  RecordingDelegate delegate{queue};
  StreamConfiguration configuration;
  configuration.capturesAudio = true;
  configuration.sampleRate = 48000;
  EXPECT_TRUE(screen.makeStream((*displays)[0], configuration, delegate));
  EXPECT_EQ(screen.lastDisplay()->id, "hdmi");
  EXPECT_TRUE(screen.lastConfiguration()->capturesAudio);
  EXPECT_EQ(screen.calls(), (std::vector<std::string>{"preflight", "request", "shareableDisplays", "makeStream hdmi"}));

  SimBackend failing(Scenario::fromJson(nlohmann::json::parse(R"({"system": {"queryFails": true}})")));
  EXPECT_FALSE(failing.screenCapture().shareableDisplays());
}

TEST(ScenarioTest, RejectsUnknownKeysAndAppliesAPlainDiskToBothTracks) {
  EXPECT_THROW(Scenario::fromJson(nlohmann::json::parse(R"({"mic": {"signl": "sine"}})")), std::exception);
  EXPECT_THROW(Scenario::fromJson(nlohmann::json::parse(R"({"speed": 0})")), std::exception);
  const Scenario both = Scenario::fromJson(nlohmann::json::parse(R"({"disk": {"failAfterWrites": 3, "failCount": "forever"}})"));
  EXPECT_EQ(both.micDisk.failAfterWrites, 3);
  EXPECT_EQ(both.systemDisk.failCount, -1);
  const Scenario one = Scenario::fromJson(nlohmann::json::parse(R"({"disk": {"system": {"stallAfterWrites": 2}}})"));
  EXPECT_FALSE(one.micDisk.scripted());
  EXPECT_EQ(one.systemDisk.stallAfterWrites, std::vector<int64_t>{2});
  const Scenario formats = Scenario::fromJson(nlohmann::json::parse(
      R"({"mic": {"format": {"rate": 44100, "channels": 2, "sampleType": "int16", "interleaved": true},
                  "configChanges": [{"at": 1, "format": {"rate": 16000}}]}})"));
  EXPECT_EQ(formats.mic.format, (AudioFormat{44100, 2, SampleType::int16, true}));
  // A changed format starts from the device's first one.
  EXPECT_EQ(*formats.mic.configChanges[0].format, (AudioFormat{16000, 2, SampleType::int16, true}));
}

class SimDiskTest : public testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() / ("orvane-sim-disk-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    buffer = PcmBuffer::create(AudioFormat::standard(48000, 1), 100);
    buffer->setFrameLength(100);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::shared_ptr<AudioFile> create(SimBackend& backend, const std::string& name) {
    auto file = backend.createTrackFile((dir / name).string(), AudioSettings{});
    EXPECT_TRUE(file);
    return file ? file.value() : nullptr;
  }
  std::filesystem::path dir;
  std::unique_ptr<PcmBuffer> buffer;
};

TEST_F(SimDiskTest, WritesFailAfterTheScriptedCountForTheScriptedNumber) {
  SimBackend backend(Scenario::fromJson(nlohmann::json::parse(
      R"({"disk": {"mic": {"failAfterWrites": 2, "failCount": 3, "errorCode": 5, "errorDomain": "io"}}})")));
  auto mic = create(backend, "r.mic.caf");
  std::vector<bool> failed;
  for (int i = 0; i < 7; ++i) {
    const Status error = mic->write(*buffer);
    failed.push_back(error.has_value());
    if (error) {
      EXPECT_EQ(error->domain, "io");
      EXPECT_EQ(error->code, 5);
    }
  }
  EXPECT_EQ(failed, (std::vector<bool>{false, false, true, true, true, false, false}));
  EXPECT_EQ(mic->length(), 400);
  // The other track and the corrected copies are not behind the scripted disk.
  for (const char* name : {"r.sys.caf", "r.mic.corrected.caf"}) {
    auto other = create(backend, name);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(other->write(*buffer)) << name;
  }
}

TEST_F(SimDiskTest, AStalledWriteBlocksUntilItsReleaseFileAppears) {
  const auto release = dir / "release";
  nlohmann::json disk = {{"stallAfterWrites", 1}, {"releaseFile", release.string()}};
  SimBackend backend(Scenario::fromJson({{"disk", disk}}));
  auto sys = create(backend, "r.sys.caf");
  ASSERT_FALSE(sys->write(*buffer));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    EXPECT_FALSE(sys->write(*buffer));
    done = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(done);
  { std::ofstream touch(release); }
  writer.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(sys->length(), 200);
}

TEST_F(SimDiskTest, CreateErrorFailsTheTrack) {
  SimBackend backend(Scenario::fromJson(nlohmann::json::parse(R"({"disk": {"createError": "read-only file system"}})")));
  auto file = backend.createTrackFile((dir / "r.mic.caf").string(), AudioSettings{});
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().description, "read-only file system");
  EXPECT_FALSE(std::filesystem::exists(dir / "r.mic.caf"));
}

}  // namespace
}  // namespace orvane::sim
