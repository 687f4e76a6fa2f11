"""A private PulseAudio server for tests, started in a fresh runtime directory,
reachable only through the environment it hands out, killed on exit; and
PulseCase, the test case that records against one. Every wait is bounded."""
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from harness import BIN, Helper, terminal_lines

# auth-anonymous lets children that do not share our HOME (and so our cookie) connect.
BASE_MODULES = ("module-native-protocol-unix auth-anonymous=1", "module-null-sink sink_name=speakers")


# Variables that would point a client (or the server itself) at some other server.
FOREIGN_VARIABLES = ("PULSE_SERVER", "PULSE_SINK", "PULSE_SOURCE", "PULSE_COOKIE", "DISPLAY",
                     "DBUS_SESSION_BUS_ADDRESS", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH")


def clean_env(extra):
    return dict({k: v for k, v in os.environ.items() if k not in FOREIGN_VARIABLES}, **extra)


def unreachable_env():
    """An environment whose sound server cannot be reached: a socket path that does not exist."""
    scratch = tempfile.mkdtemp(prefix="orvane-nopulse-")
    return clean_env({"XDG_RUNTIME_DIR": scratch, "PULSE_SERVER": "unix:" + os.path.join(scratch, "no-socket")})


def without_rewinds(module):
    """A null sink loaded with norewinds=1: an idle null sink rewinds when a stream starts and its
    monitor loses about two seconds, which would make every recorded length that much short."""
    if module.split()[0] == "module-null-sink" and "norewinds=" not in module:
        return module + " norewinds=1"
    return module


def mic_modules(name, rate):
    """A microphone, not a monitor: <name> records the sink <name>_feed (mono: stereo under mono gives zeros)."""
    return [f"module-null-sink sink_name={name}_feed rate={rate} channels=1 channel_map=mono",
            f"module-remap-source source_name={name} master={name}_feed.monitor channels=1 channel_map=mono "
            "master_channel_map=mono remix=no"]


class PulseServer:
    def __init__(self, extra_modules=()):
        self.modules, self.process = [without_rewinds(module) for module in (*BASE_MODULES, *extra_modules)], None
        self.directory = tempfile.mkdtemp(prefix="orvane-pulse-")
        self.socket_path = os.path.join(self.directory, "run", "pulse", "native")
        self.env = {"XDG_RUNTIME_DIR": os.path.join(self.directory, "run"),
                    "PULSE_RUNTIME_PATH": os.path.dirname(self.socket_path), "PULSE_SERVER": "unix:" + self.socket_path}

    def start(self):
        """Starts the server, or a new one at the same socket after a kill (its modules loaded again)."""
        home = os.path.join(self.directory, "home")
        os.makedirs(home, mode=0o700, exist_ok=True)
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        # --system=false: we run as root in CI, and a per-user daemon is what we want.
        command = ["pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1", "--realtime=no",
                   "--high-priority=no", "--use-pid-file=no", "--log-target=stderr"]
        log_path = os.path.join(self.directory, "pulseaudio.log")
        with open(log_path, "wb") as log:
            self.process = subprocess.Popen(command + [arg for m in self.modules for arg in ("-L", m)],
                                            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                            env=clean_env(dict(self.env, HOME=home, XDG_CONFIG_HOME=home)),
                                            start_new_session=True)
        try:
            deadline = time.monotonic() + 15
            while not (os.path.exists(self.socket_path) and self.pactl("info", timeout=2, check=False) is not None):
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("pulseaudio did not come up")
                time.sleep(0.05)
            # pulseaudio skips a -L module that fails to load and starts anyway.
            loaded = sorted(row[1] for row in self.short_list("modules"))
            if loaded != sorted(m.split()[0] for m in self.modules):
                raise RuntimeError(f"pulseaudio loaded {loaded} of {self.modules}")
        except BaseException as error:
            with open(log_path, errors="replace") as log:
                error.add_note("pulseaudio's log ends:\n" + "".join(log.readlines()[-30:]))
            self.stop()
            raise

    def kill(self):
        """Ends the server abruptly (SIGKILL), as a crash would; start() brings up another."""
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=5)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.kill()
        shutil.rmtree(self.directory, ignore_errors=True)

    def child_env(self):
        """The environment for a child that should use this server."""
        return clean_env(self.env)

    def pactl(self, *args, timeout=10, check=True):
        """pactl's standard output against this server; None (or an error when `check`) if it fails."""
        try:
            result = subprocess.run(["pactl", *args], env=self.child_env(), capture_output=True, text=True,
                                    timeout=timeout, stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            result = subprocess.CompletedProcess(args, -1, "", "timed out")
        if result.returncode != 0 and check:
            raise RuntimeError(f"pactl {' '.join(args)} failed: {result.stderr.strip()}")
        return result.stdout if result.returncode == 0 else None

    def load_module(self, module):
        self.pactl("load-module", *without_rewinds(module).split())

    def unload(self, name, argument):
        """Unloads the first module `name` whose arguments hold `argument`."""
        self.pactl("unload-module", next(row[0] for row in self.short_list("modules")
                                         if row[1] == name and argument in " ".join(row[2:3]).split()))

    def short_list(self, kind):
        """`pactl list short <kind>` as a list of column lists."""
        return [line.split("\t") for line in self.pactl("list", "short", kind).splitlines() if line]


@unittest.skipUnless(shutil.which("pulseaudio") and shutil.which("pactl"), "pulseaudio is not installed")
class PulseCase(unittest.TestCase):
    """A test against its own server (loaded with `modules`), the real binary, and tone players."""

    modules = []

    def setUp(self):
        self.pulse = PulseServer(self.modules)
        self.pulse.start()
        self.addCleanup(self.pulse.stop)
        self.env = self.pulse.child_env()
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def start(self, name, args=()):
        """The helper recording into `name` (in the test's directory, unless a path), once recording."""
        out = os.path.join(self.dir.name, name)
        helper = Helper(["--out", out, *args], binary=BIN, env=self.env)
        helper.out = out
        self.addCleanup(helper.kill)
        helper.wait_line("STATUS recording ", timeout=20)
        return out, helper

    def stop(self, helper):
        """Stops; the run must end with its one "STATUS stopped <path>" and status 0. Returns the lines."""
        status, lines = helper.stop()
        self.assertEqual(terminal_lines(lines), [f"STATUS stopped {helper.out}\n"], helper.stderr)
        self.assertEqual(status, 0, helper.stderr)
        return lines

    def play(self, sink, rate, frequency):
        """Plays a tone into `sink` at low latency (module-sine would render in 2 s blocks), and lets it
        settle: a null sink that never had an input delivers its first audio late."""
        tone = os.path.join(self.dir.name, f"tone{rate}-{frequency}.wav")
        subprocess.run(["sox", "-n", "-r", str(rate), "-c", "1", tone, "synth", "600", "sine", str(frequency), "vol",
                        "0.5"], check=True, timeout=60)
        self.player(["paplay", "--latency-msec=20", f"--device={sink}", tone])
        time.sleep(1.0)

    def player(self, argv):
        """A playing client, ended with the test."""
        player = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: player.kill() or player.wait(timeout=5))
