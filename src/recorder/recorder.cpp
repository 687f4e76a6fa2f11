// Recorder construction, and the control thread that runs its commands.
#include "recorder/recorder.h"

#include <system_error>

namespace orvane {

Recorder::Recorder(std::string outputURL, Mode mode, bool voiceProcessing, bool writeWav, Backend& backend,
                   MainLoop& mainLoop)
    : outputURL(std::move(outputURL)),
      mode(mode),
      voiceProcessing(voiceProcessing),
      writeWav(writeWav),
      paths(this->outputURL),
      backend(backend),
      mainLoop(mainLoop),
      engine(backend.makeMicrophone()),
      mic("mic", paths.mic, writeFailures, writerBell),
      system("system", paths.system, writeFailures, writerBell),
      writer(writerBell, {&mic, &system}),
      micWatchdog(mainLoop, mic, micLevel, clock, [this] { return ended(); }),
      restarts(mainLoop, [this] { post(Command::restartMic); }),
      systemRestarts(mainLoop, [this] { post(Command::restartSystem); }),
      micChanged_(mainLoop.addTrigger([this] { requestEngineRestart(); })),
      systemChanged_(mainLoop.addTrigger([this] { requestSystemAudioRestart(); })),
      levelMeasured_(mainLoop.addTrigger([this] { reportLevel(); })) {}

Recorder::~Recorder() {
  if (control_.joinable()) control_.join();
}

// The control thread lives while it has commands: idle while recording, it
// holds no thread then. Commands are only posted from the main thread.
void Recorder::post(Command command) {
  {
    std::lock_guard lock(controlLock_);
    commands_.push_back(command);
    if (controlRunning_) return;
    if (control_.joinable()) control_.join();  // it left under the lock
    try {
      // Unnamed: the threads it makes (the sound server's loop) would take its name.
      control_ = std::thread([this] { runCommands(); });
      controlRunning_ = true;
      return;
    } catch (const std::system_error&) {
      // No thread to be had (a thread or memory limit): run here rather than not at all.
    }
  }
  runCommands();
}

void Recorder::runCommands() {
  std::unique_lock lock(controlLock_);
  while (!commands_.empty()) {
    const Command command = commands_.front();
    lock.unlock();
    run(command);
    lock.lock();
    commands_.pop_front();
  }
  controlRunning_ = false;
}

bool Recorder::controlBusy() {
  std::lock_guard lock(controlLock_);
  return !commands_.empty();
}

void Recorder::run(Command command) {
  switch (command) {
    case Command::start: return runStart();
    case Command::restartMic: {
      const RestartPolicy::Outcome outcome = restartEngine();
      return mainLoop.post([this, outcome] { restarts.finished(outcome); });
    }
    case Command::restartSystem: {
      const RestartPolicy::Outcome outcome = restartSystemAudio();
      return mainLoop.post([this, outcome] { systemRestarts.finished(outcome); });
    }
    case Command::checkSystemAway: return checkSystemAway();
    case Command::stopInputs: {
      stopInputs();
      {
        std::lock_guard lock(stateLock_);
        state_ = State::stopped;
      }
      return stateChanged_.notify_all();
    }
  }
}

}  // namespace orvane
