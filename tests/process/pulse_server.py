"""A private sound server for tests, started in a fresh runtime directory, reachable only through the environment it
hands out, killed on exit: PulseAudio, or PipeWire with its PulseAudio server and WirePlumber when
ORVANE_SOUND_SERVER is "pipewire" (clients speak the same protocol to both); and PulseCase, the test case that
records against one. Every wait is bounded."""
import glob
import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from harness import BIN, RATE, ScratchCase, sox

# auth-anonymous lets children that do not share our HOME (and so our cookie) connect.
SERVER = os.environ.get("ORVANE_SOUND_SERVER", "pulseaudio")
# A case about the helper's own logic (its start checks, its standard input, its files, what its stop writes),
# which a recording on either server takes through alike: it runs on PulseAudio alone.
one_server = unittest.skipIf(SERVER == "pipewire", "the helper's own logic: the PulseAudio run takes it")
BASE_MODULES = ("module-native-protocol-unix auth-anonymous=1", "module-null-sink sink_name=speakers")
# A microphone "mic" that hears the speakers' left channel: both tracks hear whatever plays there.
MONITOR_MIC = ("module-remap-source source_name=mic master=speakers.monitor channels=1 channel_map=mono "
               "master_channel_map=front-left remix=no")


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


def mic_modules(name, rate, layout="mono"):
    """A microphone, not a monitor: <name> records the sink <name>_feed (mono by default: stereo under mono gives
    zeros), channel for channel."""
    channels = f"rate={rate} channels={len(layout.split(','))} channel_map={layout}"
    return [f"module-null-sink sink_name={name}_feed {channels}",
            f"module-remap-source source_name={name} master={name}_feed.monitor {channels} master_channel_map={layout} "
            "remix=no"]


class SoundServer:
    """What both servers share: the runtime directory, the client environment and pactl."""

    def __init__(self, extra_modules=()):
        self.modules = [without_rewinds(module) for module in extra_modules]
        self.directory = tempfile.mkdtemp(prefix=f"orvane-{self.name}-")
        self.home = os.path.join(self.directory, "home")
        self.socket_path = os.path.join(self.directory, "run", "pulse", "native")
        self.env = {"XDG_RUNTIME_DIR": os.path.join(self.directory, "run"),
                    "PULSE_RUNTIME_PATH": os.path.dirname(self.socket_path), "PULSE_SERVER": "unix:" + self.socket_path}
        self.processes = []

    def spawn(self, command, log_name, env=None, shell=False):
        """A server-side process in its own session, its output in the directory's log."""
        with open(os.path.join(self.directory, log_name), "ab") as log:
            self.processes.append(subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                                   env=env or self.server_env(), cwd=self.directory, shell=shell,
                                                   start_new_session=True))
        return self.processes[-1]

    def server_env(self):
        for directory in (self.home, self.env["XDG_RUNTIME_DIR"]):
            os.makedirs(directory, mode=0o700, exist_ok=True)
        return clean_env(dict(self.env, HOME=self.home, XDG_CONFIG_HOME=self.home, XDG_STATE_HOME=self.home))

    def wait_until(self, what, ready, timeout=15):
        deadline = time.monotonic() + timeout
        while not ready():
            if any(p.poll() is not None for p in self.processes) or time.monotonic() > deadline:
                raise RuntimeError(f"{self.name}: no {what}")
            time.sleep(0.05)

    def start(self):
        """Starts the server, or a new one at the same socket after a kill (its modules loaded again)."""
        try:
            self.launch()
        except BaseException as error:
            for log in sorted(glob.glob(os.path.join(self.directory, "*.log"))):
                with open(log, errors="replace") as lines:
                    error.add_note(f"{os.path.basename(log)} ends:\n" + "".join(lines.readlines()[-30:]))
            self.stop()
            raise

    def kill(self):
        """Ends the server abruptly (SIGKILL), as a crash would; start() brings up another."""
        for process in reversed(self.processes):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
            process.wait(timeout=5)
        self.processes = []

    def terminate(self):
        """Ends the server as a user's restart or an upgrade does (SIGTERM), or kills what stays."""
        for process in reversed(self.processes):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    pass  # killed below
        self.kill()

    def restart(self, away):
        """Ends the server (SIGTERM) and starts the same server and devices again `away` seconds later."""
        self.terminate()
        time.sleep(away)
        self.start()

    def stop(self):
        self.terminate()
        shutil.rmtree(self.directory, ignore_errors=True)

    def stall(self, seconds):
        """Stops the process that runs the server's clock for `seconds` (SIGSTOP, then SIGCONT), as a
        machine under load may: what its devices capture meanwhile may be lost without a word."""
        os.kill(self.clock_process.pid, signal.SIGSTOP)
        time.sleep(seconds)
        os.kill(self.clock_process.pid, signal.SIGCONT)

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

    def tool(self, *argv, check=True):
        """A server-side tool (pw-link, pw-metadata) run to its end: its output, or None if it failed unchecked."""
        done = subprocess.run(argv, env=self.server_env(), capture_output=True, text=True, timeout=10, check=check)
        return done.stdout if done.returncode == 0 else None

    def load_module(self, module):
        self.pactl("load-module", *without_rewinds(module).split())

    def unload(self, name, argument):
        """Unloads the first module `name` whose arguments hold `argument`."""
        self.pactl("unload-module", next(row[0] for row in self.short_list("modules")
                                         if row[1] == name and argument in row[2].split()))

    def echo_path(self):
        """A loopback from the speakers' monitor into the microphone's feed sink: an echo with a real, jittering
        delay. Returns its sink input's index, once it exists."""
        inputs = lambda: {row[0] for row in self.short_list("sink-inputs")}  # noqa: E731
        before = inputs()
        self.pactl("load-module", "module-loopback", "source=speakers.monitor", "sink=mic_feed", "latency_msec=60",
                   "source_dont_move=true", "sink_dont_move=true")
        self.wait_until("the loopback", lambda: inputs() - before)
        return (inputs() - before).pop()

    def short_list(self, kind):
        """`pactl list short <kind>` as a list of column lists (PipeWire's own modules' arguments span lines:
        only the rows that have their columns)."""
        return [row for row in (line.split("\t") for line in self.pactl("list", "short", kind).splitlines())
                if len(row) >= 3]


class PulseServer(SoundServer):
    name = "pulseaudio"

    def __init__(self, extra_modules=()):
        super().__init__((*BASE_MODULES, *extra_modules))

    def launch(self):
        # --system=false: we run as root in CI, and a per-user daemon is what we want.
        command = ["pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1", "--realtime=no",
                   "--high-priority=no", "--use-pid-file=no", "--log-target=stderr"]
        self.clock_process = self.spawn(command + [arg for m in self.modules for arg in ("-L", m)], "pulseaudio.log")
        self.wait_until("answer", lambda: self.pactl("info", timeout=2, check=False))
        # pulseaudio skips a -L module that fails to load and starts anyway.
        loaded = sorted(row[1] for row in self.short_list("modules"))
        if loaded != sorted(m.split()[0] for m in self.modules):
            raise RuntimeError(f"pulseaudio loaded {loaded} of {self.modules}")

class PipeWireServer(SoundServer):
    """PipeWire, WirePlumber (which links streams to devices, and remembers where) and pipewire-pulse, on a
    session bus of their own. Its PulseAudio server has no sine modules: a sine on a sink is a player, a
    sine source is a pipe source fed by a tone writer."""
    name = "pipewire"

    def __init__(self, extra_modules=()):
        super().__init__(("module-null-sink sink_name=speakers", *extra_modules))
        self.env["PIPEWIRE_RUNTIME_DIR"] = self.env["XDG_RUNTIME_DIR"]
        self.bus = os.path.join(self.env["XDG_RUNTIME_DIR"], "bus")

    def server_env(self):
        return dict(super().server_env(), DBUS_SESSION_BUS_ADDRESS="unix:path=" + self.bus)

    def launch(self):
        self.spawn(["dbus-daemon", "--session", "--address=unix:path=" + self.bus, "--nofork"], "dbus.log")
        self.wait_until("session bus", lambda: os.path.exists(self.bus))
        self.clock_process = self.spawn(["pipewire"], "pipewire.log")
        self.wait_until("socket", lambda: os.path.exists(os.path.join(self.env["XDG_RUNTIME_DIR"], "pipewire-0")))
        self.spawn(["wireplumber"], "wireplumber.log")
        self.spawn(["pipewire-pulse"], "pipewire-pulse.log")
        # Until the session manager is there, nothing links a stream to a device.
        self.wait_until("WirePlumber", lambda: '"WirePlumber"' in (self.pactl("list", "clients", check=False) or ""))
        for module in self.modules:
            self.load_module(module)

    def load_module(self, module):
        name, *args = without_rewinds(module).split()
        options = dict(arg.split("=", 1) for arg in args)
        if name == "module-sine":
            self.tone(options["frequency"], ["pacat", "--raw", "--format=s16le", "--rate=48000", "--channels=1",
                                             "--latency-msec=20", f"--device={options.get('sink', 'speakers')}"])
        elif name == "module-sine-source":
            fifo = os.path.join(self.directory, options["source_name"] + ".fifo")
            self.pactl("load-module", "module-pipe-source", f"source_name={options['source_name']}", f"file={fifo}",
                       "format=s16le", "rate=48000", "channels=1")
            self.tone(options["frequency"], ["dd", f"of={fifo}", "status=none"])
        elif name == "module-remap-source":
            self.remapped_source(options)
        else:
            self.pactl("load-module", name, *args)

    def remapped_source(self, options):
        """Its remap-source runs at the graph's rate whatever it is asked: a virtual source at the rate asked
        for, fed from the master's ports by links of our own, gives a microphone of any rate."""
        channels = options.get("channel_map", "mono").split(",")
        masters = options.get("master_channel_map", ",".join(channels)).split(",")
        self.pactl("load-module", "module-null-sink", "media.class=Audio/Source/Virtual", "norewinds=1",
                   f"sink_name={options['source_name']}", f"channel_map={','.join(channels)}",
                   f"channels={len(channels)}",
                   *(f"{key}={options[key]}" for key in ("rate", "format") if key in options))
        master = options["master"].removesuffix(".monitor")
        for channel, master_channel in zip(channels, masters):
            link = ["pw-link", f"{master}:monitor_{PORTS[master_channel]}",
                    f"{options['source_name']}:input_{PORTS[channel]}"]
            self.wait_until("link " + " ".join(link[1:]), lambda: self.tool(*link, check=False) is not None, timeout=5)

    def unload(self, name, argument):
        if name == "module-remap-source":
            name, argument = "module-null-sink", argument.replace("source_name=", "sink_name=")
        super().unload(name, argument)

    def tone(self, frequency, sink_command):
        """A 48 kHz sine of amplitude 0.5 written into `sink_command`, at the pace it reads."""
        self.spawn(f"sox -n -r 48000 -c 1 -b 16 -e signed -t raw - synth 3600 sine {frequency} vol 0.5 | "
                   + " ".join(shlex.quote(arg) for arg in sink_command), "tones.log",
                   env=self.child_env(), shell=True)


PORTS = {"mono": "MONO", "front-left": "FL", "front-right": "FR"}


def recorded_rate(device_rate):
    """The rate the helper records a device at: its own, or on PipeWire the graph's, which the server's default
    sample spec gives (48 kHz on these servers), so that the server resamples nothing."""
    return RATE if SERVER == "pipewire" else device_rate


def new_server(modules=()):
    """The server ORVANE_SOUND_SERVER names (PulseAudio unless it says "pipewire")."""
    return (PipeWireServer if SERVER == "pipewire" else PulseServer)(modules)


@unittest.skipUnless(shutil.which(SERVER) and shutil.which("pactl"), f"{SERVER} is not installed")
class PulseCase(ScratchCase):
    """A test against its own server (loaded with `modules`, `default_source` its default, keepers on `keep_sinks`),
    the real binary, and tone players."""

    modules, default_source, keep_sinks = [], None, ()

    def setUp(self):
        super().setUp()
        self.pulse = new_server(self.modules)
        self.pulse.start()
        self.addCleanup(self.pulse.stop)
        self.env = self.pulse.child_env()
        if self.default_source:
            self.pulse.pactl("set-default-source", self.default_source)
        if self.keep_sinks:
            self.keep(self.keep_sinks)

    def start(self, name, args=()):
        """The helper recording into `name` (in the test's directory, unless a path), once recording."""
        helper = self.helper(["--out", self.path(name), *args], binary=BIN, env=self.env)
        helper.out = self.path(name)
        return helper.out, helper

    def first_run(self, args=("--wav",), seconds=1.0):
        """On PipeWire, a first recording with `args`: its session manager links a stream of ours where one of its
        name went before. Returns its output (None on PulseAudio)."""
        if SERVER == "pipewire":
            out, helper = self.start("first.wav", args)
            time.sleep(seconds)
            self.stop(helper)
            return out

    def stop(self, helper):
        """Stops; the run must end with its one "STATUS stopped <path>" and status 0. Returns the lines."""
        status, lines = helper.stop()
        self.assert_stopped(status, lines, helper.out, helper.stderr)
        return lines

    def assert_interrupted(self, helper):
        """The run ends on its own (its server gone for 10 s) as interrupted, and saved."""
        status, lines = helper.finish(timeout=30)
        self.assertEqual((status, [l for l in lines if not l.startswith("LEVEL ")][-2:]),
                         (0, ["WARN screen_interrupted\n", f"STATUS stopped {helper.out}\n"]), helper.stderr)

    def source_outputs(self):
        """Our record streams as (index, media.name, source name), by name."""
        sources = {row[0]: row[1] for row in self.pulse.short_list("sources")}
        found = [re.search(r'#(\d+).*?^\s*Source: (\d+).*media\.name = "(Microphone|System audio)"', block, re.M | re.S)
                 for block in self.pulse.pactl("list", "source-outputs").split("\n\n")]
        return sorted(((m[1], m[3], sources.get(m[2])) for m in found if m), key=lambda output: output[1])

    def keep(self, sinks):
        """A null sink renders 2 s ahead unless a client asks for less, and a monitor stream sees nothing until real
        time catches up: a silent low-latency player on each of `sinks` ("keeper") holds them at 20 ms."""
        for sink in sinks:
            self.player(["pacat", "--playback", "--latency-msec=20", f"--device={sink}", "/dev/zero"])
            # The sink takes the lower latency once the keeper's stream exists.
            index = next(row[0] for row in self.pulse.short_list("sinks") if row[1] == sink)
            self.pulse.wait_until(f"keeper on {sink}", lambda: any(row[1] == index for row in
                                                                    self.pulse.short_list("sink-inputs")), timeout=10)
        time.sleep(2.1)  # what the sinks had rendered ahead before the keepers run out

    def play(self, sink, rate, frequency):
        """Plays a tone into `sink` at low latency (module-sine would render in 2 s blocks), and lets it
        settle: a null sink that never had an input delivers its first audio late."""
        tone = self.sound(f"tone{rate}-{frequency}.wav", "synth", 600, "sine", frequency, "vol", 0.5, rate=rate)
        self.player(["paplay", "--latency-msec=20", f"--device={sink}", tone])
        time.sleep(1.0)

    def sound(self, name, *effects, rate=RATE):
        """A mono file `name` in the test's directory, made by sox's `effects` from nothing; its path."""
        return sox(self.path(name), *effects, rate=rate)

    def player(self, argv, env=None):
        """A playing client, ended with the test."""
        player = subprocess.Popen(argv, env=env or self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: player.kill() or player.wait(timeout=5))
        return player
