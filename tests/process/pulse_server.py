"""A private PulseAudio server for tests: started in a fresh runtime directory,
reachable only through the environment it hands out, killed on exit.

    with PulseServer(extra_modules=["module-sine-source rate=50000"]) as pulse:
        subprocess.run([...], env=pulse.child_env(), timeout=30)
        index = pulse.load_module("module-null-sink", "sink_name=mic_sink")
        pulse.pactl("unload-module", str(index))

Every wait is bounded: a server that does not come up raises PulseServerError
with the tail of its log instead of hanging the test.
"""

import os
import shutil
import signal
import subprocess
import tempfile
import time

START_TIMEOUT_SECONDS = 15.0
PACTL_TIMEOUT_SECONDS = 10.0
STOP_TIMEOUT_SECONDS = 5.0
POLL_SECONDS = 0.05

# auth-anonymous lets children that do not share our HOME (and so our cookie) connect.
BASE_MODULES = (
    "module-native-protocol-unix auth-anonymous=1",
    "module-null-sink sink_name=speakers",
)

# Variables that would point a client (or the server itself) at some other server.
FOREIGN_VARIABLES = ("PULSE_SERVER", "PULSE_SINK", "PULSE_SOURCE", "PULSE_COOKIE", "DISPLAY",
                     "DBUS_SESSION_BUS_ADDRESS", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH")


class PulseServerError(RuntimeError):
    pass


def pulseaudio_available():
    return shutil.which("pulseaudio") is not None and shutil.which("pactl") is not None


def unreachable_env(base=None):
    """An environment whose sound server cannot be reached: a socket path that does not exist."""
    env = dict(os.environ if base is None else base)
    for name in FOREIGN_VARIABLES:
        env.pop(name, None)
    scratch = tempfile.mkdtemp(prefix="orvane-nopulse-")
    env["XDG_RUNTIME_DIR"] = scratch
    env["PULSE_RUNTIME_PATH"] = os.path.join(scratch, "pulse")
    env["PULSE_SERVER"] = "unix:" + os.path.join(scratch, "pulse", "no-such-socket")
    return env


class PulseServer:
    def __init__(self, extra_modules=(), start_timeout=START_TIMEOUT_SECONDS, keep_dir=False):
        self.extra_modules = list(extra_modules)
        self.start_timeout = start_timeout
        self.keep_dir = keep_dir
        self.process = None
        self.directory = None
        self.env = {}

    # --- lifetime

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        self.directory = tempfile.mkdtemp(prefix="orvane-pulse-")
        runtime = os.path.join(self.directory, "run")
        home = os.path.join(self.directory, "home")
        os.makedirs(runtime, mode=0o700)
        os.makedirs(home, mode=0o700)
        self._launch()

    def restart(self):
        """Kills the server (as a crash would) and starts a new one at the same socket."""
        self.kill()
        self._launch()

    def _launch(self):
        runtime = os.path.join(self.directory, "run")
        home = os.path.join(self.directory, "home")
        pulse_dir = os.path.join(runtime, "pulse")
        self.socket_path = os.path.join(pulse_dir, "native")
        self.env = {
            "XDG_RUNTIME_DIR": runtime,
            "PULSE_RUNTIME_PATH": pulse_dir,
            "PULSE_SERVER": "unix:" + self.socket_path,
        }
        server_env = dict(os.environ)
        for name in FOREIGN_VARIABLES:
            server_env.pop(name, None)
        server_env.update(HOME=home, XDG_RUNTIME_DIR=runtime, PULSE_RUNTIME_PATH=pulse_dir,
                          XDG_CONFIG_HOME=os.path.join(home, ".config"))
        # --system=false: we run as root in CI, and a per-user daemon is what we want.
        command = ["pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
                   "--realtime=no", "--high-priority=no", "--use-pid-file=no",
                   "--log-target=stderr"]
        for module in list(BASE_MODULES) + self.extra_modules:
            command += ["-L", module]
        self.log_path = os.path.join(self.directory, "pulseaudio.log")
        with open(self.log_path, "wb") as log:
            try:
                self.process = subprocess.Popen(command, env=server_env, stdin=subprocess.DEVNULL,
                                                stdout=log, stderr=subprocess.STDOUT,
                                                start_new_session=True)
            except OSError as error:
                self.stop()
                raise PulseServerError(f"cannot run pulseaudio: {error}") from error
        try:
            self._wait_ready()
            self._check_modules_loaded()
        except BaseException:
            self.stop()
            raise

    def _wait_ready(self):
        deadline = time.monotonic() + self.start_timeout
        last_error = "no socket yet"
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise PulseServerError(
                    f"pulseaudio exited with status {self.process.returncode} during start-up:\n"
                    + self.log_tail())
            if os.path.exists(self.socket_path):
                result = self._run_pactl(["info"], timeout=2.0)
                if result is not None and result.returncode == 0:
                    return
                last_error = "pactl info failed" if result is None else result.stderr.strip()
            time.sleep(POLL_SECONDS)
        raise PulseServerError(
            f"pulseaudio not ready after {self.start_timeout:.0f} s ({last_error}):\n" + self.log_tail())

    def _check_modules_loaded(self):
        # pulseaudio skips a -L module that fails to load and starts anyway.
        loaded = [row[1] for row in self.short_list("modules")]
        for module in list(BASE_MODULES) + self.extra_modules:
            name = module.split()[0]
            if name in loaded:
                loaded.remove(name)
            else:
                raise PulseServerError(f"pulseaudio could not load '{module}':\n" + self.log_tail())

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=STOP_TIMEOUT_SECONDS)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=STOP_TIMEOUT_SECONDS)
        self._cleanup_dir()

    def kill(self):
        """Ends the server abruptly (SIGKILL), as a crash would; the directory stays."""
        if self.process is not None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=STOP_TIMEOUT_SECONDS)

    def is_running(self):
        return self.process is not None and self.process.poll() is None

    def _cleanup_dir(self):
        if self.directory and not self.keep_dir:
            shutil.rmtree(self.directory, ignore_errors=True)

    # --- talking to it

    def child_env(self, base=None):
        """The environment for a child that should use this server."""
        env = dict(os.environ if base is None else base)
        for name in FOREIGN_VARIABLES:
            env.pop(name, None)
        env.update(self.env)
        return env

    def _run_pactl(self, args, timeout):
        try:
            return subprocess.run(["pactl"] + list(args), env=self.child_env(), capture_output=True,
                                  text=True, timeout=timeout, stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            return None

    def pactl(self, *args, check=True, timeout=PACTL_TIMEOUT_SECONDS):
        """Runs pactl against this server and returns its standard output."""
        result = self._run_pactl(args, timeout)
        if result is None:
            raise PulseServerError(f"pactl {' '.join(args)} timed out after {timeout} s")
        if check and result.returncode != 0:
            raise PulseServerError(
                f"pactl {' '.join(args)} failed ({result.returncode}): {result.stderr.strip()}")
        return result.stdout

    def load_module(self, name, *args):
        """Loads a module and returns its index."""
        return int(self.pactl("load-module", name, *args).strip())

    def unload_module(self, index):
        self.pactl("unload-module", str(index))

    def short_list(self, kind):
        """`pactl list short <kind>` as a list of column lists."""
        return [line.split("\t") for line in self.pactl("list", "short", kind).splitlines() if line]

    def info(self):
        """`pactl info` as a dict of its "Key: value" lines."""
        fields = {}
        for line in self.pactl("info").splitlines():
            key, sep, value = line.partition(":")
            if sep:
                fields[key.strip()] = value.strip()
        return fields

    def log_tail(self, lines=30):
        try:
            with open(self.log_path, "r", errors="replace") as log:
                return "".join(log.readlines()[-lines:])
        except OSError:
            return "(no log)"
