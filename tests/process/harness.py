"""Running the helper as a child process the way a host does (arguments, standard input, signals, a terminal, the
event and diagnostic lines it writes), and looking at what it wrote: container facts through ffprobe, samples
decoded through ffmpeg, tones, levels and clicks."""
import array
import fcntl
import json
import math
import os
import queue
import re
import select
import shutil
import subprocess
import tempfile
import termios
import threading
import time
import unittest

BIN = os.environ.get("ORVANE_BIN", "")
SIM_BIN = os.environ.get("ORVANE_SIM_BIN", "")
DIAG = "[orvane-capture] "
NO_FRAMES = "mic produced no frames in the check window (Mic Mode / Voice Isolation?)"
DIGITAL_SILENCE = ("mic produced only digital silence in the check window (device lost to a call app's voice "
                   "processing?)")


def command(args, binary=None, scenario=None):
    """The argument vector: the scripted binary unless told otherwise, with its scenario file first."""
    if scenario is None:
        return [binary or SIM_BIN, *args]
    fd, path = tempfile.mkstemp(suffix=".json")
    with os.fdopen(fd, "w") as f:
        json.dump(scenario, f)
    return [binary or SIM_BIN, "--scenario", path, *args]


def run(args, binary=None, scenario=None, timeout=60, env=None, cwd=None):
    """Runs to completion with empty standard input; returns (status, stdout text, stderr text)."""
    done = subprocess.run(command(args, binary, scenario), input=b"", capture_output=True, timeout=timeout,
                          env=env, cwd=cwd)
    return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


def terminal_lines(lines):
    return [line for line in lines if line.startswith(("STATUS stopped ", "ERROR "))
            and not line.startswith("ERROR disk_write_failed")]


class Helper:
    """A running helper whose stdout and stderr lines are collected on threads."""

    def __init__(self, args, binary=None, scenario=None, env=None, stdin=subprocess.PIPE, cwd=None):
        self.proc = subprocess.Popen(command(args, binary, scenario), stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, cwd=cwd)
        self.lines, self._stderr, self._arrived, self._queue = [], [], {}, queue.Queue()
        self._readers = [threading.Thread(target=self._pump, daemon=True),
                         threading.Thread(target=lambda: self._stderr.extend(
                             raw.decode("utf-8", "replace") for raw in self.proc.stderr), daemon=True)]
        for reader in self._readers:
            reader.start()

    def _pump(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace")
            self._arrived.setdefault(line, time.monotonic())
            self._queue.put(line)
        self._queue.put(None)

    def wait_line(self, prefix, timeout=15.0):
        """Returns the first new line starting with prefix; fails on timeout or end."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self._queue.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError(f"no line starting {prefix!r} within {timeout}s; got {self.lines}") from None
            if line is None:
                raise AssertionError(f"output ended before {prefix!r}; got {self.lines}; stderr {self.stderr}")
            self.lines.append(line)
            if line.startswith(prefix):
                return line

    def arrival(self, prefix):
        """When the first line starting with prefix came (time.monotonic())."""
        return next(t for line, t in self._arrived.items() if line.startswith(prefix))

    def send(self, data):
        """Writes to the helper's standard input; a helper that already ended (a signal before stopped it) has
        closed it, which its exit status and lines then show."""
        try:
            self.proc.stdin.write(data.encode())
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass

    def request(self, command):
        """Sends "pause" or "resume" and waits for the line that says it was done."""
        self.send(command + "\n")
        self.wait_line({"pause": "STATUS paused", "resume": "STATUS resumed"}[command])

    def finish(self, timeout=60.0):
        """Waits for exit; returns (status, all stdout lines)."""
        status = self.proc.wait(timeout=timeout)
        for reader in self._readers:
            reader.join(timeout=5)
        while not self._queue.empty():
            line = self._queue.get()
            self.lines += [line] if line is not None else []
        self.kill()
        return status, self.lines

    def stop(self, timeout=60.0):
        self.send("stop\n")
        return self.finish(timeout)

    def kill(self):
        """Ends the process if it still runs (a failed test must not leave a recording going)."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for pipe in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                pipe and pipe.close()
            except OSError:
                pass  # a host's stdin the helper closed first

    @property
    def stderr(self):
        return "".join(self._stderr)

    def diags(self, prefix):
        """The diagnostics (without their "[orvane-capture] " prefix) that start with prefix."""
        return [line[len(DIAG):] for line in self.stderr.splitlines() if line.startswith(DIAG + prefix)]

    def wait_diag(self, prefix, timeout=15.0, count=1):
        """Waits until `count` diagnostics start with prefix; fails on timeout or exit."""
        deadline = time.monotonic() + timeout
        while len(self.diags(prefix)) < count:
            if time.monotonic() > deadline or self.proc.poll() is not None:
                time.sleep(0.2)  # let the reader catch up before judging
                if len(self.diags(prefix)) >= count:
                    break
                raise AssertionError(f"not {count} diagnostics {prefix!r} within {timeout}s; stderr {self.stderr}")
            time.sleep(0.02)


class Terminal:
    """A program on the slave side of a pseudo-terminal; what it draws is read from the master side."""

    def __init__(self, argv, env=None):
        self.master, slave = os.openpty()
        # Its controlling terminal, as a shell's: closing the master side hangs it up.
        self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, env=env, start_new_session=True,
                                     preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        self.text = ""
        self.seen = 0

    def expect(self, pattern, timeout=20):
        """The first match of pattern in what was drawn since the last match."""
        deadline = time.monotonic() + timeout
        while not (match := re.compile(pattern).search(self.text, self.seen)):
            ready, _, _ = select.select([self.master], [], [], max(0.0, deadline - time.monotonic()))
            try:
                data = os.read(self.master, 4096) if ready else b""
            except OSError:  # EIO: the example has exited
                data = b""
            if not data:
                raise AssertionError(f"{pattern!r} not drawn; the screen:\n{self.text}")
            self.text += data.decode("utf-8", "replace")
        self.seen = match.end()
        return match

    def press(self, key):
        os.write(self.master, key.encode())
        return time.monotonic()

    def hang_up(self):
        """Closes the master side, as a closed terminal window does."""
        os.close(self.master)
        self.master = None

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.master is None or os.close(self.master)


class ScratchCase(unittest.TestCase):
    """A test with a scratch folder of its own (self.dir), whose helpers end with it."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvane-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def helper(self, args, wait="STATUS recording", timeout=20, **options):
        """A Helper (a failed test must not leave a recording going), once it says `wait` (None: at once)."""
        helper = Helper(args, **options)
        self.addCleanup(helper.kill)
        if wait:
            helper.wait_line(wait, timeout=timeout)
        return helper

    def assert_stopped(self, status, lines, out, msg=None):
        """The run ended with its one "STATUS stopped <out>" and status 0."""
        self.assertEqual((status, terminal_lines(lines)), (0, [f"STATUS stopped {out}\n"]), msg)


RATE = 48000


def sox(path, *effects, rate=RATE):
    """A mono 16-bit file made by sox's `effects` from nothing; its path."""
    subprocess.run(["sox", "-q", "-D", "-n", "-r", str(rate), "-c", "1", "-b", "16", path, *map(str, effects)],
                   check=True, timeout=60)
    return path


def probe(path):
    """The first audio stream's facts and the container's duration."""
    out = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", path],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    info = json.loads(out)
    stream = next(s for s in info["streams"] if s["codec_type"] == "audio")
    return {"codec": stream["codec_name"], "sample_rate": int(stream["sample_rate"]),
            "channels": int(stream["channels"]), "duration": float(info["format"]["duration"])}


def channels(path, first=0, seconds=None):
    """Each channel's samples as floats in [-1, 1] at 48 kHz, from frame `first` on (all, or `seconds`)."""
    count = probe(path)["channels"]
    trim = f"atrim=start_sample={first}" + (f":end_sample={first + int(seconds * RATE)}" if seconds else "")
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-af", trim, "-f", "s16le", "-ar", str(RATE), "-"],
                         capture_output=True, timeout=120, check=True).stdout
    samples = array.array("h")
    samples.frombytes(raw[: len(raw) // (2 * count) * 2 * count])
    return [[s / 32768.0 for s in samples[c::count]] for c in range(count)]


def frame_count(path):
    return int(subprocess.run(["sox", "--i", "-s", path], capture_output=True, text=True, timeout=60,
                              check=True).stdout)


def rms(samples):
    return math.sqrt(sum(s * s for s in samples) / len(samples)) if samples else 0.0


def tone_level(samples, frequency, rate=RATE):
    """Amplitude of one frequency (Goertzel), comparable to the RMS of a sine of that amplitude / sqrt 2."""
    if not samples:
        return 0.0
    coeff = 2 * math.cos(2 * math.pi * frequency / rate)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    return 2 * math.sqrt(max(s1 * s1 + s2 * s2 - coeff * s1 * s2, 0.0)) / len(samples)


def click_onsets(samples, first_frame=0, threshold=0.25):
    """Frame indices where the magnitude rises through the threshold (the leading edge of each click)."""
    onsets = []
    below = True
    for i, x in enumerate(samples):
        if below and abs(x) > threshold:
            onsets.append(first_frame + i)
        below = abs(x) <= threshold
    return onsets
