// Entry sequence: permission mode, argument parsing, the recorder, recovery
// mode, or signals + control channel + the start + the main loop.
#include "cli/entry.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <variant>
#include <vector>

#include "cli/args.h"
#include "cli/control_channel.h"
#include "events/output.h"
#include "cli/permissions_cli.h"
#include "platform/backend.h"
#include "platform/runtime/main_loop.h"
#include "recorder/recorder.h"

namespace orvane {

namespace {

// A hang-up (the terminal closed, a logout after its SIGTERM) stops and
// saves the recording as SIGTERM does: its default action would lose it.
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

void setStopSignalsBlocked(bool blocked) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kStopSignals) sigaddset(&set, sig);
  pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

[[noreturn]] void runRecording(Recorder& recorder, MainLoop& loop) {
  // Signals were blocked before any thread existed; from here they are events.
  if (!loop.watchSignals({SIGTERM, SIGINT, SIGHUP}, [&recorder](int) { recorder.stop(); })) {
    diag("cannot watch SIGTERM/SIGINT/SIGHUP; relying on standard input to stop");
  }
  static ControlParser parser;
  loop.watchReadable(STDIN_FILENO, [&recorder, &loop] {
    if (!handleControlInput(STDIN_FILENO, parser, recorder)) loop.unwatch(STDIN_FILENO);
  });
  recorder.start();
  loop.run();
  // The loop can no longer wait for events: the recording is saved as at a
  // stop, unless a failed start is ending the run with its own line.
  recorder.stop();
  for (;;) ::pause();
}

}  // namespace

// A descriptor that the host closed would go to the next file we open: our
// own event descriptor would be polled as standard input, and a closed input
// would never end. On /dev/null a closed input is an end of input at once.
void openClosedStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

int runMain(int argc, char** argv, Backend& backend) {
  openClosedStandardStreams();
  // A host that closed our standard output must not kill a recording that can
  // still be saved, and neither must a file size limit: a write past it fails
  // like a full disk, which every writer already handles.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  const std::vector<std::string> args(argv, argv + argc);
  handlePermissionsCLIIfRequested(args, backend.permissions());

  auto parsed = parseArgs(args);
  if (auto* error = std::get_if<ArgsError>(&parsed)) fail("args", error->message);
  const ParsedArgs& options = std::get<ParsedArgs>(parsed);

  // Every thread started from here on inherits the blocked stop signals.
  setStopSignalsBlocked(true);
  MainLoop& loop = MainLoop::main();
  // Lives until the process exits; never destroyed while its threads run.
  auto* recorder = new Recorder(options.outputPath, options.mode, options.voiceProcessing,
                                options.writeWav, backend, loop);
  recorder->keepTemps = options.keepTemps;
  recorder->systemAudioFrom = options.systemAudioFrom;
  recorder->liveAudioPath = options.liveAudio;
  recorder->liveRate = options.liveRate;
  recorder->speechTimeline = options.speechTimeline;
  if (options.finalizeTemps) {
    setStopSignalsBlocked(false);  // recovery keeps the default action of SIGTERM/SIGINT/SIGHUP
    recorder->finalizeFromTemps();
  }
  runRecording(*recorder, loop);
}

}  // namespace orvane
