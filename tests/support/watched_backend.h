// The scripted backend with its two inputs watched: each start and stop is
// told to a hook first, which may fail a start, and stop or pace the run.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "support/sim_backend.h"

namespace orvane::sim {

// Told "mic starts", "mic started", "mic failed", "mic stops" and the same of
// "system", in order. An error returned for "<input> starts" fails that start
// and leaves the input stopped, as a device that went away would; one in the
// domain kOldDeviceRecords fails it and leaves the input recording, as a
// stream kept while its new device cannot be opened does.
using InputHook = std::function<Status(const std::string& event)>;
inline const std::string kOldDeviceRecords = "old device records";

class WatchedInput : public AudioInput {
 public:
  WatchedInput(std::unique_ptr<AudioInput> input, std::string name, InputHook hook)
      : input_(std::move(input)), name_(std::move(name)), hook_(std::move(hook)) {}
  AudioFormat format() override { return input_->format(); }
  void setBlockHandler(BlockHandler handler) override { input_->setBlockHandler(std::move(handler)); }
  void setChangeHandler(ChangeHandler handler) override { input_->setChangeHandler(std::move(handler)); }
  void setRoomCheck(RoomCheck check) override { input_->setRoomCheck(std::move(check)); }
  Status start() override {
    Status error = hook_(name_ + " starts");
    if (!error) error = input_->start();
    else if (error->domain != kOldDeviceRecords) input_->stop(0);
    hook_(name_ + (error ? " failed" : " started"));
    return error;
  }
  void stop(double untilSeconds) override {
    hook_(name_ + " stops");
    input_->stop(untilSeconds);
  }
  void cutAt(double untilSeconds) override { input_->cutAt(untilSeconds); }
  bool isRunning() const override { return input_->isRunning(); }

 private:
  std::unique_ptr<AudioInput> input_;
  const std::string name_;
  const InputHook hook_;
};

class WatchedBackend : public SimBackend {
 public:
  WatchedBackend(Scenario scenario, InputHook hook) : SimBackend(std::move(scenario)), hook_(std::move(hook)) {}
  std::unique_ptr<AudioInput> makeMicrophone() override {
    return std::make_unique<WatchedInput>(SimBackend::makeMicrophone(), "mic", hook_);
  }
  std::unique_ptr<AudioInput> makeSystemAudio() override {
    return std::make_unique<WatchedInput>(SimBackend::makeSystemAudio(), "system", hook_);
  }

 private:
  const InputHook hook_;
};

}  // namespace orvane::sim
