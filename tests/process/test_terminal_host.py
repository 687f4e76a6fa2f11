"""The example host (examples/terminal_host.py) driven through a pseudo-terminal
against a private PulseAudio: its keys pause, resume and stop the recording, its
bar shows the microphone's level, the duration it prints is the output's, and a
helper killed mid-run is recovered with --finalize-temps."""
import os
import re
import select
import subprocess
import sys
import time

from harness import BIN, probe
from pulse_server import PulseCase, mic_modules

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples",
                       "terminal_host.py")


class Terminal:
    """The example on the slave side of a pseudo-terminal; what it draws is read from the master side."""

    def __init__(self, argv, env):
        self.master, slave = os.openpty()
        self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, env=env, start_new_session=True)
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

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        os.close(self.master)


class TerminalHost(PulseCase):
    modules, default_source = mic_modules("mic", 48000), "mic"

    def setUp(self):
        super().setUp()
        self.play("mic_feed", 48000, 1000)  # a sine of amplitude 0.5: RMS 0.354, -9.0 dB

    def host(self, name, *options):
        out = self.path(name)
        terminal = Terminal([sys.executable, EXAMPLE, "--helper", BIN, out, *options], self.env)
        self.addCleanup(terminal.close)
        return out, terminal

    def test_keys_pause_resume_and_stop_and_the_printed_duration_is_the_active_time(self):
        out, terminal = self.host("keys.m4a")
        terminal.expect(r"STATUS recording \d+")
        began = time.monotonic()
        level = float(terminal.expect(r"mic \[#+\.*\]\s+(-?\d+\.\d) dB").group(1))
        self.assertAlmostEqual(level, -9.0, delta=0.5)
        time.sleep(max(0.0, began + 1.0 - time.monotonic()))
        paused = terminal.press("p")
        terminal.expect("STATUS paused")
        time.sleep(1.5)
        resumed = terminal.press(" ")
        terminal.expect("STATUS resumed")
        time.sleep(1.0)
        stopped = terminal.press("s")
        terminal.expect(re.escape(f"STATUS stopped {out}"))
        printed = float(terminal.expect(r"duration: (\d+\.\d+) s").group(1))
        self.assertEqual(terminal.proc.wait(timeout=10), 0)
        self.assertAlmostEqual(printed, probe(out)["duration"], delta=0.002)
        # Key to helper and stop to file each cost a few ms, and a capture buffer (85 ms) now and then.
        self.assertAlmostEqual(printed, (stopped - began) - (resumed - paused), delta=0.25)
