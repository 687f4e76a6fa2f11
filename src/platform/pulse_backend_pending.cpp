// Placeholder sound-server backend until the libpulse one lands: no server
// answers, so the microphone permission is unknown and nothing is recorded.
#include "platform/backend.h"

namespace orvane {

namespace {

class NoServerPermissions : public Permissions {
 public:
  int microphoneStatus() override { return -1; }
  void requestMicrophone(std::function<void(bool)> answer) override { answer(false); }
  bool preflightScreenCapture() override { return false; }
  bool requestScreenCapture() override { return false; }
};

class NoServerScreenCapture : public ScreenCapture {
 public:
  bool preflightAccess() override { return false; }
  bool requestAccess() override { return false; }
  Result<std::vector<Display>> shareableDisplays() override { return Error{"pulse", 1, "no sound server"}; }
  std::unique_ptr<SystemAudioStream> makeStream(const Display&, const StreamConfiguration&,
                                                StreamDelegate&) override {
    return nullptr;
  }
};

class NoServerBackend : public Backend {
 public:
  std::unique_ptr<AudioEngine> makeAudioEngine() override { return nullptr; }
  ScreenCapture& screenCapture() override { return screen_; }
  Permissions& permissions() override { return permissions_; }

 private:
  NoServerPermissions permissions_;
  NoServerScreenCapture screen_;
};

}  // namespace

std::unique_ptr<Backend> makePulseBackend() { return std::make_unique<NoServerBackend>(); }

}  // namespace orvane
