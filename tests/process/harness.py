"""Running the helper as a child process the way a host does: arguments,
standard input, signals, and the event lines it writes."""
import json
import os
import queue
import subprocess
import tempfile
import threading
import time

BIN = os.environ.get("ORVANE_BIN", "")
SIM_BIN = os.environ.get("ORVANE_SIM_BIN", "")
TERMINAL_PREFIXES = ("STATUS stopped ", "ERROR ")


def command(args, binary=None, scenario=None):
    """The argument vector: the scripted binary unless told otherwise, with its scenario file first."""
    argv = [binary or SIM_BIN]
    if scenario is not None:
        fd, path = tempfile.mkstemp(suffix=".json")
        with os.fdopen(fd, "w") as f:
            json.dump(scenario, f)
        argv += ["--scenario", path]
    return argv + list(args)


class Helper:
    """A running helper whose stdout lines are collected on a thread."""

    def __init__(self, args, binary=None, scenario=None, env=None, cwd=None, stdin=subprocess.PIPE):
        self.proc = subprocess.Popen(command(args, binary, scenario), stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=env, cwd=cwd)
        self.lines = []
        self._queue = queue.Queue()
        self._stderr = []
        self._readers = [threading.Thread(target=self._pump, args=(self.proc.stdout, self._queue), daemon=True),
                         threading.Thread(target=self._drain_stderr, daemon=True)]
        for reader in self._readers:
            reader.start()

    def _pump(self, stream, q):
        for raw in stream:
            q.put(raw.decode("utf-8", "replace"))
        q.put(None)

    def _drain_stderr(self):
        for raw in self.proc.stderr:
            self._stderr.append(raw.decode("utf-8", "replace"))

    def wait_line(self, prefix, timeout=15.0):
        """Returns the first new line starting with prefix; fails on timeout or end."""
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"no line starting {prefix!r} within {timeout}s; got {self.lines}")
            try:
                line = self._queue.get(timeout=remaining)
            except queue.Empty:
                continue
            if line is None:
                raise AssertionError(f"output ended before {prefix!r}; got {self.lines}; stderr {self.stderr}")
            self.lines.append(line)
            if line.startswith(prefix):
                return line

    def send(self, data):
        self.proc.stdin.write(data if isinstance(data, bytes) else data.encode())
        self.proc.stdin.flush()

    def close_stdin(self):
        self.proc.stdin.close()

    def signal(self, signum):
        self.proc.send_signal(signum)

    def finish(self, timeout=60.0):
        """Waits for exit; returns (status, all stdout lines)."""
        status = self.proc.wait(timeout=timeout)
        while True:
            try:
                line = self._queue.get(timeout=5)
            except queue.Empty:
                break
            if line is None:
                break
            self.lines.append(line)
        for reader in self._readers:
            reader.join(timeout=5)
        for pipe in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if pipe:
                try:
                    pipe.close()
                except OSError:
                    pass  # a host's stdin the helper closed first
        return status, self.lines

    @property
    def stderr(self):
        return "".join(self._stderr)

    def wait_stderr(self, text, count=1, timeout=15.0):
        """Waits until standard error holds `text` at least `count` times."""
        deadline = time.monotonic() + timeout
        while self.stderr.count(text) < count:
            if time.monotonic() > deadline or (self.proc.poll() is not None and self.stderr.count(text) < count):
                time.sleep(0.2)  # let the reader catch up before judging
                if self.stderr.count(text) >= count:
                    break
                raise AssertionError(f"stderr holds {text!r} {self.stderr.count(text)} times, not {count}; "
                                     f"stderr {self.stderr}")
            time.sleep(0.02)


def run(args, binary=None, scenario=None, input_bytes=b"", timeout=60, env=None, cwd=None):
    """Runs to completion; returns (status, stdout text, stderr text)."""
    done = subprocess.run(command(args, binary, scenario), input=input_bytes, capture_output=True, timeout=timeout,
                          env=env, cwd=cwd)
    return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


def terminal_lines(lines):
    return [line for line in lines if line.startswith(TERMINAL_PREFIXES)
            and not line.startswith("ERROR disk_write_failed")]
