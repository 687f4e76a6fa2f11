#!/usr/bin/env python3
"""An example host for orvane-capture, in the terminal and the Python standard
library only: it starts a recording, draws the microphone level as a live bar
from the LEVEL lines, maps keys to pause, resume and stop, shows every STATUS,
WARN and ERROR line as it comes, and at the end prints the output's path and
duration. When the helper dies without its terminal line (or ends with an
error and leaves temporary tracks behind) it runs --finalize-temps, as a host
should.

    python3 examples/terminal_host.py [--helper PATH] OUT [helper options...]
    python3 examples/terminal_host.py ~/call.m4a
    python3 examples/terminal_host.py --helper build/orvane-capture take.wav --wav --mic-only

Keys: p pause, r resume, space pause/resume, s or q stop. Ctrl-C reaches the
helper as SIGINT, which also stops it.
"""
import math
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time
import tty

KEYS = "p pause  r resume  space pause/resume  s/q stop"
BAR_WIDTH = 40
FLOOR_DB = -60.0
MODE_OPTIONS = ("--mic-only", "--system-only")


def find_helper(given):
    """--helper, else orvane-capture on PATH, else the build tree beside this example."""
    if given:
        return given
    on_path = shutil.which("orvane-capture")
    if on_path:
        return on_path
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "build", "orvane-capture")


def is_terminal(line):
    """STATUS stopped or any ERROR but disk_write_failed, which the recording survives."""
    return line.startswith("STATUS stopped ") or (line.startswith("ERROR ") and line != "ERROR disk_write_failed")


def temp_tracks(out):
    """The temporary tracks a run leaves beside its output: <out without extension>.mic.caf and .sys.caf."""
    base = os.path.splitext(out)[0]
    return [path for path in (base + ".mic.caf", base + ".sys.caf") if os.path.exists(path)]


def mp4_duration(path):
    """Seconds from the movie header (mvhd) of an MP4-family file, or None."""
    def boxes(f, end):
        while f.tell() + 8 <= end:
            start = f.tell()
            size, kind = struct.unpack(">I4s", f.read(8))
            if size == 1:
                size = struct.unpack(">Q", f.read(8))[0]
            elif size == 0:
                size = end - start
            if size < 8:
                return
            yield kind, f.tell(), start + size
            f.seek(start + size)

    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        for kind, body, end in boxes(f, size):
            if kind != b"moov":
                continue
            f.seek(body)
            for inner, header, _ in boxes(f, end):
                if inner == b"mvhd":
                    f.seek(header)
                    version = f.read(1)[0]
                    f.read(3)
                    if version == 1:
                        _, _, scale, length = struct.unpack(">QQIQ", f.read(28))
                    else:
                        _, _, scale, length = struct.unpack(">IIII", f.read(16))
                    return length / scale if scale else None
    return None


def wav_duration(path):
    """Seconds of a RIFF or RF64 WAV file: its data size over its byte rate, or None."""
    with open(path, "rb") as f:
        riff, _, form = struct.unpack("<4sI4s", f.read(12))
        if riff not in (b"RIFF", b"RF64") or form != b"WAVE":
            return None
        byte_rate = data_size64 = None
        while len(header := f.read(8)) == 8:
            kind, size = struct.unpack("<4sI", header)
            body = f.tell()
            if kind == b"ds64":  # RF64: the real sizes, when the 32-bit ones say 0xFFFFFFFF
                data_size64 = struct.unpack("<QQ", f.read(16))[1]
            elif kind == b"fmt ":
                byte_rate = struct.unpack("<HHII", f.read(12))[3]
            elif kind == b"data":
                if size == 0xFFFFFFFF and data_size64 is not None:
                    size = data_size64
                return size / byte_rate if byte_rate else None
            f.seek(body + size + (size & 1))
    return None


def duration(path):
    """The output's duration in seconds, read from its header; None for containers not read here."""
    try:
        extension = os.path.splitext(path)[1].lower()
        if extension == ".wav":
            return wav_duration(path)
        if extension in (".m4a", ".mp4", ".mov", ".3gp"):
            return mp4_duration(path)
    except (OSError, struct.error, IndexError):
        return None
    return None


class Screen:
    """Event lines scroll; the level bar stays on the last line and is redrawn in place."""

    def __init__(self):
        self.bar = ""

    def line(self, text):
        sys.stdout.write("\r\x1b[K" + text + "\n" + self.bar)
        sys.stdout.flush()

    def level(self, linear, paused):
        db = 20 * math.log10(linear) if linear > 0 else FLOOR_DB
        db = max(FLOOR_DB, min(0.0, db))
        filled = round((db - FLOOR_DB) / -FLOOR_DB * BAR_WIDTH)
        self.bar = f"mic [{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {db:6.1f} dB" + ("  (paused)" if paused else "")
        sys.stdout.write("\r\x1b[K" + self.bar)
        sys.stdout.flush()

    def done(self):
        if self.bar:
            sys.stdout.write("\r\x1b[K")
        self.bar = ""


def record(helper, out, options, screen):
    """Runs one recording; returns its terminal line (None when the helper died) and its exit status."""
    process = subprocess.Popen([helper, "--out", out, *options], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    screen.line(f"started {helper} (pid {process.pid})   keys: {KEYS}")
    keyboard = sys.stdin.fileno()
    events, diagnostics = process.stdout.fileno(), process.stderr.fileno()
    pending = {events: b"", diagnostics: b""}
    terminal = None
    paused = False
    level = 0.0

    def send(word):
        try:
            process.stdin.write(word.encode() + b"\n")
            process.stdin.flush()
        except BrokenPipeError:
            pass  # the helper has ended; its last lines are still to be read

    def show(fd, line):
        nonlocal terminal, paused, level
        if fd == diagnostics:  # free text for people and logs, never parsed
            screen.line("\x1b[2m" + line + "\x1b[0m")
        elif line.startswith("LEVEL "):
            level = float(line.split()[1])
            screen.level(level, paused)
        else:
            if line in ("STATUS paused", "STATUS resumed"):
                paused = line == "STATUS paused"
                screen.level(level, paused)
            screen.line(line)
            if is_terminal(line):
                terminal = line

    watched = [keyboard]
    while pending:
        ready, _, _ = select.select([*watched, *pending], [], [])
        if keyboard in ready:
            keys = os.read(keyboard, 64).decode(errors="replace")
            if not keys:  # the terminal went away: stop, and save what was recorded
                watched = []
                send("stop")
            for key in keys:
                if key == "p" or (key == " " and not paused):
                    send("pause")
                elif key == "r" or (key == " " and paused):
                    send("resume")
                elif key in "sq":
                    send("stop")
        for fd in [fd for fd in ready if fd in pending]:
            data = os.read(fd, 4096)
            if not data:
                del pending[fd]
                continue
            *lines, pending[fd] = (pending[fd] + data).split(b"\n")
            for line in lines:
                show(fd, line.decode("utf-8", "replace"))
    status = process.wait()
    process.stdin.close()
    screen.done()
    return terminal, status


def recover(helper, out, options):
    """--finalize-temps with the run's output path and mode; returns its line and status."""
    mode = [option for option in options if option in MODE_OPTIONS]
    done = subprocess.run([helper, "--out", out, "--finalize-temps", *mode], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    return done.stdout.strip(), done.returncode


def report(terminal):
    if terminal and terminal.startswith("STATUS stopped "):
        path = terminal[len("STATUS stopped "):]
        seconds = duration(path)
        print(f"output:   {path}")
        print(f"duration: {seconds:.3f} s" if seconds is not None else "duration: (not read for this container)")
        return 0
    print(f"no recording: {terminal}")
    return 1


def main(argv):
    helper = None
    if argv[:1] == ["--helper"] and len(argv) >= 2:
        helper, argv = argv[1], argv[2:]
    if not argv or argv[0].startswith("-"):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    if not sys.stdin.isatty():
        print("terminal_host: standard input must be a terminal", file=sys.stderr)
        return 2
    helper = find_helper(helper)
    out, options = os.path.abspath(argv[0]), argv[1:]
    # Ctrl-C goes to the whole foreground group: the helper stops on it and we
    # wait for its terminal line. A handler (not SIG_IGN) is not inherited.
    signal.signal(signal.SIGINT, lambda *_: None)
    screen = Screen()
    saved = termios.tcgetattr(sys.stdin.fileno())
    try:
        tty.setcbreak(sys.stdin.fileno())
        terminal, status = record(helper, out, options, screen)
    finally:
        termios.tcsetattr(sys.stdin.fileno(), termios.TCSADRAIN, saved)
    if terminal is None:
        how = f"killed by signal {-status}" if status < 0 else f"exit status {status}"
        print(f"orvane-capture died without finishing ({how}); recovering with --finalize-temps")
        terminal, status = recover(helper, out, options)
        print(terminal)
    elif not terminal.startswith("STATUS stopped ") and temp_tracks(out):
        print("temporary tracks left beside the output; recovering with --finalize-temps")
        terminal, status = recover(helper, out, options)
        print(terminal)
    return report(terminal)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
