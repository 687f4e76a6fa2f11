"""The reliability suite: crashes, full disks, a hostile host and damaged files. Every case checks that nothing
captured is lost: the audio from before the fault is in the output or in tracks that a recovery turns into one.
Each case is a test of the class Reliability; the long ones need ORVANE_LONG_RELIABILITY=1 (docs/reliability.md),
and ORVANE_RELIABILITY_JOBS=N runs N cases at a time (they mostly wait on their helpers)."""
import concurrent.futures
import contextlib
import ctypes
import fcntl
import os
import random
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "process"))
from harness import (BIN, ScratchCase, Terminal, channels, click_onsets, command, probe, run, sox,  # noqa: E402
                     terminal_lines, tone_level)
from pulse_server import PulseServer, mic_modules  # noqa: E402

LONG = os.environ.get("ORVANE_LONG_RELIABILITY") == "1"
long_only = unittest.skipUnless(LONG, "a long case: ORVANE_LONG_RELIABILITY=1")
# Sanitizers need address space beyond any limit and a free descriptor for each check of a pointer.
SANITIZED = "ASAN_OPTIONS" in os.environ
MODES = ([], ["--mic-only"], ["--system-only"])
SINES = {"mic": {"signal": "sine"}, "system": {"signal": "sine"}}
DRIFTING = {"speed": 25, "mic": {"signal": "sine", "ppm": 60}, "system": {"signal": "sine", "ppm": -60}}
IN_USE = "ERROR finalize_failed temporary tracks are in use by a running recording\n"
REFUSED = "STATUS starting\nERROR start_failed "


def seconds(path):
    """The length by ffprobe, checked against sox where sox reads the format (not AAC): both must read it."""
    by_ffprobe = probe(path)["duration"]
    if path.endswith(".m4a"):
        return by_ffprobe
    by_sox = float(subprocess.run(["sox", "--i", "-D", path], capture_output=True, text=True, check=True).stdout)
    assert abs(by_sox - by_ffprobe) < 0.05, (path, by_sox, by_ffprobe)
    return by_sox


def recover(out, *args):
    """--finalize-temps by the real binary: (status, stdout, stderr)."""
    return run(["--out", out, "--finalize-temps", *args], binary=BIN, timeout=120)


def scripted(out, *args):
    """The scripted helper's argument vector."""
    return command(["--out", out, *args], scenario=SINES)


def soon(condition, within=10.0):
    """Whether `condition` holds within `within` seconds, looked at every 0.1 s."""
    return any(condition() or time.sleep(0.1) for _ in range(int(within * 10)))


def swallow(listener):
    """Accepts connections and never answers them, until the listener is closed."""
    held = []
    try:
        while True:
            held.append(listener.accept()[0])
    except OSError:
        pass


class Reliability(ScratchCase):
    """Each case with scratch space, its scripted recordings, and the checks they share."""

    def start(self, out, *args, scenario=SINES, binary=None, env=None):
        return self.helper(["--out", out, *args], scenario=None if binary else scenario, binary=binary, env=env)

    def unstopped(self, args, timeout=25, **options):
        """A run whose standard input stays open, so that only the helper ends it: (status, stdout text)."""
        helper = self.helper(args, wait=None, **({"scenario": SINES} if "binary" not in options else {}), **options)
        status, lines = helper.finish(timeout=timeout)
        return status, "".join(lines)

    def assert_refused(self, out, running=False):
        """A run with `out` ends at its start and touches nothing (creates no file, and when no recording `running`
        grows its tracks, changes no size); returns what it said."""
        files = lambda: {n: running or os.path.getsize(self.path(n)) for n in os.listdir(self.dir)}  # noqa: E731
        before = files()
        status, stdout = self.unstopped(["--out", out, "--wav"])
        self.assertEqual((status, stdout[:len(REFUSED)]), (2, REFUSED), stdout)
        self.assertEqual(files(), before)
        return stdout

    def assert_saved(self, helper, out, ended=None, speed=1):
        """Stops the run (or lets `ended` end it): it says it stopped, and the output holds what it recorded."""
        lived = time.monotonic() - helper.arrival("STATUS recording")
        self.assert_stopped(*(ended or helper.stop)(), out)
        self.assertGreaterEqual(seconds(out), (lived - 0.3) * speed)
        return lived

    def crash(self, helper):
        """SIGKILL; returns the seconds it had recorded."""
        helper.proc.kill()
        lived = time.monotonic() - helper.arrival("STATUS recording")
        helper.finish()
        return lived

    def assert_recovers(self, out, at_least, *args):
        status, stdout, stderr = recover(out, *args)
        self.assertEqual((status, stdout), (0, f"STATUS stopped {out}\n"), stderr)
        self.assertGreaterEqual(seconds(out), at_least, stderr)

    def mount_tmpfs(self, megabytes):
        folder = self.path("disk")
        os.mkdir(folder)
        if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={megabytes}m", "tmpfs", folder],
                                               capture_output=True).returncode != 0:
            self.skipTest("cannot mount a tmpfs here (needs root)")
        self.addCleanup(subprocess.run, ["umount", "-l", folder], capture_output=True)
        return folder

    def fill(self, folder, leave=0):
        """Fills the file system of `folder` up to `leave` bytes; returns the filler's path."""
        filler = os.path.join(folder, "filler")
        with open(filler, "wb", buffering=0) as f, contextlib.suppress(OSError):
            f.write(b"\0" * max(shutil.disk_usage(folder).free - leave, 0))
            while leave == 0:
                f.write(b"\0" * 4096)
        return filler

    def frozen_threads(self, pid, name):
        """Stops the threads of process `pid` named `name`, alone (ptrace), until the returned call lets them go:
        threads starved of the CPU for as long as the case needs, on a machine however loaded."""
        libc = ctypes.CDLL(None, use_errno=True)
        libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
        seize, interrupt, detach = 0x4206, 0x4207, 17
        tids = []
        for task in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{task}/comm") as comm:
                    if comm.read().strip() != name:
                        continue
            except FileNotFoundError:
                continue  # a thread that ended meanwhile
            if libc.ptrace(seize, int(task), None, None) != 0:
                self.skipTest(f"cannot trace a thread here: {os.strerror(ctypes.get_errno())}")
            libc.ptrace(interrupt, int(task), None, None)
            os.waitpid(int(task), 0x40000000)  # __WALL: it has stopped
            tids.append(int(task))
        self.assertTrue(tids, f"no thread named {name}")

        def release():
            while tids:
                libc.ptrace(detach, tids.pop(), None, None)
        self.addCleanup(release)
        return release

    def test_crash_while_recording(self):
        """SIGKILL at a random moment of a recording in each mode and output kind (a WAV one while the finisher
        writes); the recovery holds the audio appended up to 200 ms before the kill (and the first buffer's 85 ms,
        which come before its stamp). Before the first recovery a new run with the crashed one's --out, or over a
        file that is no track, refuses and touches nothing; after it, over a track without audio, it records. The
        tracks are private; the output and the sidecar get the mode the user's umask gives any new file, from a
        recovery and at a stop, so that a host can hand them on."""
        self.addCleanup(os.umask, os.umask(0o027))
        mode = lambda name: stat.S_IMODE(os.stat(self.path(name)).st_mode)  # noqa: E731
        rng, runs, worst = random.Random(7), 30 if LONG else 6, 0.0
        for i in range(runs):
            args, ext = MODES[i % 3], ("wav", "m4a")[i % 2]
            out = self.path(f"crash{i}.{ext}")
            helper = self.start(out, *args, *(["--wav"] if ext == "wav" else []))
            # The first run's tracks must hold audio: a new start over them is refused.
            time.sleep(max(1.0 if i == 0 else 0.0, rng.uniform(0.3, 60.0 if LONG else 2.5)))
            lived = self.crash(helper)
            self.assertFalse(os.path.exists(out), "nothing under the output's name before the stop")
            if i == 0:
                self.assertEqual((mode("crash0.mic.caf"), mode("crash0.sys.caf")), (0o600, 0o600))
                with open(self.path("victim.mic.caf"), "wb") as f:
                    f.write(b"not a track of ours")
                self.assertIn("holds", self.assert_refused(out))
                self.assertIn("is in the way", self.assert_refused(self.path("victim.m4a")))
            self.assert_recovers(out, lived - 0.2 - 0.1, *args)
            self.assertFalse(os.path.exists(self.path(f"crash{i}.finishing.{ext}")), "the finisher's file is gone")
            worst = max(worst, lived - seconds(out))
        print(f"\n{runs} crashes recovered, worst shortfall {worst:.3f} s", file=sys.stderr)
        self.assertEqual(mode("crash0.wav"), 0o640)
        sox(self.path("crash0.mic.caf"), "trim", 0, 0)  # a track without audio, as a failed start leaves it, is replaced
        helper = self.start(self.path("crash0.wav"), "--wav")
        time.sleep(0.5)
        self.assert_stopped(*helper.stop(), self.path("crash0.wav"))
        self.assertEqual((mode("crash0.wav"), mode("crash0.drift.json")), (0o640, 0o640))

    @long_only
    def test_crash_during_stop(self):
        """Crash during the stop: SIGKILL while the stop makes the drift-corrected output; the tracks are whole."""
        rng = random.Random(11)
        for i in range(10):
            out = self.path(f"stop{i}.wav")
            helper = self.start(out, "--wav", scenario=DRIFTING)
            time.sleep(130 / 25)
            helper.send("stop\n")
            time.sleep(rng.uniform(0.0, 0.4))
            self.crash(helper)
            if os.path.exists(self.path(f"stop{i}.mic.caf")):  # else the stop finished first: its output stands
                self.assert_recovers(out, 129.0)

    def disk_full(self, moment):
        """The disk fills while recording (the appends fail, the host is told once), at the stop of two drifting
        minutes, or before the output's last write: the stop either succeeds with every frame, drift-corrected,
        or fails and keeps the tracks."""
        folder = self.mount_tmpfs(64)
        scenario, seconds_in, length = {"recording": (SINES, 1.0, 0.9), "drifting": (DRIFTING, 130 / 25, 129.0),
                                        "output": (dict(SINES, speed=10), 2.0, 19.0)}[moment]
        for ext in ("wav", "m4a"):
            out = os.path.join(folder, f"rec.{ext}")
            helper = self.start(out, *(["--wav"] if ext == "wav" else []), scenario=scenario)
            time.sleep(seconds_in)
            tracks = sum(os.path.getsize(os.path.join(folder, f"rec.{t}.caf")) for t in ("mic", "sys"))
            filler = self.fill(folder, leave={"recording": 0, "drifting": tracks // 3, "output": 64 * 1024}[moment])
            if moment == "recording":
                helper.wait_line("ERROR disk_write_failed", timeout=20)
            status, lines = helper.stop()
            os.remove(filler)
            if status == 0 and moment == "drifting":
                self.assertRegex(helper.stderr, r"drift-correct mic: \d+\.\d ppm \u2192 \d+ frames")
                self.assertGreaterEqual(seconds(out), length)
            else:
                self.assertTrue(terminal_lines(lines)[0].startswith("ERROR finalize_failed "), lines)
                self.assert_recovers(out, length)
            os.remove(out)

    def test_disk_full_while_recording(self):
        self.disk_full("recording")

    def test_disk_full_at_the_output(self):
        self.disk_full("output")

    @long_only
    def test_disk_full_at_a_drifting_stop(self):
        self.disk_full("drifting")

    def test_disk_nearly_full_while_the_finisher_writes(self):
        """The finisher (from 120 s on) gives the room up to the tracks at once, even with its thread starved of the
        CPU (here: stopped), and the stop makes the output with every frame."""
        folder = self.mount_tmpfs(160)
        out, finishing = os.path.join(folder, "rec.wav"), os.path.join(folder, "rec.finishing.wav")
        helper = self.start(out, "--wav", scenario=dict(SINES, speed=30))
        written = lambda: os.path.getsize(finishing) if os.path.exists(finishing) else -1  # noqa: E731
        self.assertTrue(soon(lambda: written() > 16 << 20), "it writes")
        release = self.frozen_threads(helper.proc.pid, "finisher")
        # Just under the finisher's 16 MB reserve: the tracks take 5.8 MB a second at this speed, so the room
        # left lasts them over two and a half.
        filler = self.fill(folder, leave=15 << 20)
        self.assertTrue(soon(lambda: written() < 0, 1.5), "removed while recording")
        release()
        os.remove(filler)  # the stop's own output needs the room the recording went on taking
        status, lines = helper.stop()
        self.assert_stopped(status, lines, out)
        self.assertIn("finisher: the disk is nearly full; the output is made from the tracks afresh", helper.stderr)
        self.assertNotIn("disk_write_failed", "".join(lines), helper.stderr)
        self.assertGreaterEqual(seconds(out), 125.0)

    def test_finisher_killed_or_behind(self):
        """SIGKILL while the finisher writes a WAV output (it begins after 120 s): nothing under the output's name,
        and the recovery holds every frame and removes the finisher's file. An AAC finisher that cannot keep up at
        60x leaves more to the stop, which still ends with every frame."""
        out, finishing = self.path("kill.wav"), self.path("kill.finishing.wav")
        helper = self.start(out, "--wav", scenario=dict(SINES, speed=30))
        self.assertTrue(soon(lambda: os.path.exists(finishing) and os.path.getsize(finishing) > 8 << 20), "it writes")
        self.crash(helper)
        self.assertFalse(os.path.exists(out))
        self.assert_recovers(out, max(seconds(self.path(f"kill.{track}.caf")) for track in ("mic", "sys")))
        self.assertFalse(os.path.exists(finishing))
        out = self.path("behind.m4a")
        helper = self.start(out, scenario=dict(SINES, speed=60))
        time.sleep(3.0)
        self.assert_stopped(*helper.stop(), out)
        # What the tracks took, as the helper says: a loaded machine holds the scripted clock back from 60x.
        recorded = max(float(line.split(" holds ")[1].split()[0]) for line in helper.diags("") if " track holds " in line)
        self.assertGreater(recorded, 60)
        # Every frame of the longer track, and no more than the other's later start put before it.
        self.assertGreaterEqual(seconds(out), recorded - 0.05)
        self.assertLess(seconds(out), recorded + 2.0)
        self.assertFalse(os.path.exists(self.path("behind.finishing.m4a")))

    def test_a_host_that_stops_reading(self):
        """A host that stops reading: with standard output full a stop still ends capture when asked; the lines
        come, terminal last, once read."""
        out = self.path("rec.wav")
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ: the smallest pipe
        proc = subprocess.Popen(scripted(out, "--wav"), stdin=subprocess.PIPE, stdout=write_end,
                                stderr=subprocess.DEVNULL)
        self.addCleanup(proc.kill)
        with os.fdopen(read_end, "rb") as reader:
            while not reader.readline().startswith(b"STATUS recording"):
                pass
            began = time.monotonic()
            filler = os.open(f"/proc/self/fd/{write_end}", os.O_WRONLY | os.O_NONBLOCK)  # the helper's stays blocking
            try:
                while True:
                    os.write(filler, b"#\n")
            except BlockingIOError:
                os.close(filler)
                os.close(write_end)
            time.sleep(1.0)
            proc.stdin.write(b"stop\n")
            proc.stdin.flush()
            lived = time.monotonic() - began
            time.sleep(3.0)
            lines = [line.decode() for line in reader if not line.startswith(b"#")]
        self.assertEqual(proc.wait(timeout=30), 0)
        self.assertEqual(lines[-1], f"STATUS stopped {out}\n")
        self.assertLess(seconds(out), lived + 0.3, "capture went on after the stop")

    def test_a_failed_stop_keeps_the_tracks_and_the_earlier_output(self):
        """An output that outgrows the file size limit, or the descriptor limit cut to what is open while recording
        (the stop cannot read a track that holds audio: never a success with a silent channel), fails the stop; it
        leaves the tracks for a recovery and nothing of its own, and the file at the path is the earlier one."""
        for limit in ("fsize", "nofile")[:1 if SANITIZED else 2]:
            folder = self.path(limit)
            os.mkdir(folder)
            out = os.path.join(folder, "rec.wav")
            with open(out, "wb") as f:
                f.write(b"an earlier recording")
            helper = self.start(out, "--wav")
            time.sleep(2.0)
            value = 320000 if limit == "fsize" else len(os.listdir(f"/proc/{helper.proc.pid}/fd"))
            subprocess.run(["prlimit", f"--pid={helper.proc.pid}", f"--{limit}={value}"], check=True)
            status, lines = helper.stop()
            self.assertEqual(status, 2, lines)
            self.assertTrue(terminal_lines(lines)[0].startswith("ERROR finalize_failed "), lines)
            self.assertEqual((open(out, "rb").read(), sorted(set(os.listdir(folder)) - {"rec.drift.json"})),
                             (b"an earlier recording", ["rec.mic.caf", "rec.sys.caf", "rec.wav"]))
            self.assert_recovers(out, 1.9)

    def pulse(self, *modules):
        """A private PulseAudio whose default source is a 48 kHz "mic" fed by `modules` through its sink."""
        if not shutil.which("pulseaudio"):
            self.skipTest("pulseaudio is not installed")
        feed, source = mic_modules("mic", 48000)
        pulse = PulseServer([feed + " norewinds=1", source, *modules])
        pulse.start()
        self.addCleanup(pulse.stop)
        pulse.pactl("set-default-source", "mic")
        return pulse

    def test_a_start_short_of_memory(self):
        """A start short of memory: too little address space ends the start at once, or within its timeout, and
        it says memory."""
        if SANITIZED:
            self.skipTest("a sanitizer build")
        pulse = self.pulse()
        for megabytes in (200, 300, 400):
            status, stdout = self.unstopped([f"--as={megabytes << 20}", BIN, "--out", self.path("rec.wav"), "--wav"],
                                            binary="prlimit", env=pulse.child_env())
            self.assertEqual(status, 2, stdout)
            self.assertIn("ERROR start_failed not enough memory", stdout)

    def test_a_closed_standard_input(self):
        """A closed standard input: spawned so, it is an end of input, and the run stops."""
        done = subprocess.run(scripted(self.path("rec.wav"), "--wav"), preexec_fn=lambda: os.close(0),
                              capture_output=True, timeout=10)
        self.assertEqual(done.returncode, 2, done.stdout)
        self.assertTrue(done.stdout.endswith(b"ERROR stopped_early recording stopped before capture began\n"))

    def test_two_recoveries_at_once(self):
        """Two recoveries at once: the second of one output refuses while the first writes it."""
        for track in ("mic", "sys"):
            sox(self.path(f"long.{track}.caf"), "synth", 600, "sine", 440)
        first = subprocess.Popen([BIN, "--out", self.path("long.m4a"), "--finalize-temps"], stdout=subprocess.PIPE)
        time.sleep(0.5)
        self.assertEqual(recover(self.path("long.m4a"))[:2], (2, IN_USE))
        self.assertEqual(first.wait(timeout=120), 0)
        self.assertAlmostEqual(seconds(self.path("long.m4a")), 600.0, delta=0.05)

    def test_hang_ups(self):
        """A hang-up stops and saves as SIGTERM does: SIGHUP alone, a logout's SIGTERM then SIGHUP, and the helper's
        controlling terminal closing under it (its lines then reach nobody: the status and the files say it saved)."""
        for signals in ((signal.SIGHUP,), (signal.SIGTERM, signal.SIGHUP)):
            out = self.path(f"hup{len(signals)}.wav")
            helper = self.start(out, "--wav")
            time.sleep(1.0)
            for sig in signals:
                helper.proc.send_signal(sig)
            self.assert_saved(helper, out, ended=lambda: helper.finish(timeout=20))
        out = self.path("tty.wav")
        terminal = Terminal(scripted(out, "--wav"))
        self.addCleanup(terminal.close)
        terminal.expect("STATUS recording")
        began = time.monotonic()
        time.sleep(1.0)
        terminal.hang_up()
        lived = time.monotonic() - began
        self.assertEqual(terminal.proc.wait(timeout=20), 0)
        self.assertGreaterEqual(seconds(out), lived - 0.3)
        self.assertEqual(sorted(os.listdir(self.dir)), ["hup1.drift.json", "hup1.wav", "hup2.drift.json", "hup2.wav",
                                                        "tty.drift.json", "tty.wav"])

    def test_fifos_in_the_way(self):
        """FIFOs where the files go: one where a track, the sidecar or the unfinished output goes is refused at
        once like any file in the way; nothing waits on it."""
        for name in ("rec.mic.caf", "rec.sys.caf", "rec.drift.json", "rec.partial.wav"):
            os.mkfifo(self.path(name))
            what = "a temporary track" if name.endswith(".caf") else "a file the recording writes"
            self.assertEqual(self.assert_refused(self.path("rec.wav")),
                             f"{REFUSED}{self.path(name)} is in the way of {what} and is none; move it away\n")
            os.remove(self.path(name))

    def test_names_of_a_running_recording(self):
        """A recovery, or a second recording, with the --out of a running one, and a run whose output, or a name it
        derives, is a file of a running recording with another output are refused and touch nothing: the running
        one's track or unfinished output as the output, an output whose track would be the running one's output,
        and a recovery into a running one's track. The running ones then save everything."""
        out = self.path("rec.wav")
        helper = self.start(out, "--wav")
        other = self.start(self.path("other.mic.caf"), "--wav")
        self.assertEqual(recover(out)[:2], (2, IN_USE))
        self.assertTrue(self.assert_refused(out, running=True).startswith(REFUSED + "the temporary track "))
        self.assertFalse(os.path.exists(out))
        for name in ("rec.mic.caf", "rec.sys.caf", "rec.partial.wav", "rec.finishing.wav", "other.wav"):
            said = self.assert_refused(self.path(name), running=True)
            self.assertRegex(said, r"^STATUS starting\nERROR start_failed \S+ is a file of a running recording \(its "
                                   r"temporary track \S+ is in use\); choose another --out\n$")
        sox(self.path("rec.mic.mic.caf"), "synth", 1, "sine", 440)
        status, stdout, _ = recover(self.path("rec.mic.caf"))
        self.assertEqual(status, 2)
        self.assertTrue(stdout.startswith(f"ERROR finalize_failed {self.path('rec.mic.caf')} is a file of a running "
                                          "recording"), stdout)
        self.assertTrue(os.path.exists(self.path("rec.mic.mic.caf")))
        self.assert_saved(helper, out)
        self.assertNotIn("was removed while recording", helper.stderr)
        self.assert_stopped(*other.stop(), self.path("other.mic.caf"))

    def test_tracks_or_their_folder_removed_or_renamed_while_recording(self):
        """Tracks removed while recording, then their whole folder: the stop reads the files it holds and names them
        again. A folder renamed: the output is written where the host named it (the folder made again), and the
        tracks are removed where they went, or kept there with --keep-temps; a finisher that writes the output (from
        120 s on, here at 30x) goes on in the renamed folder and its file becomes the output."""
        for how, keep, speed in (("tracks", True, 1), ("folder", True, 1), ("renamed", False, 1), ("renamed", True, 1),
                                 ("renamed", False, 30)):
            folder, moved = self.path("D"), self.path("D2")
            os.mkdir(folder)
            out = os.path.join(folder, "rec.wav")
            helper = self.start(out, "--wav", *["--keep-temps"] * keep, scenario=dict(SINES, speed=speed))
            self.assertTrue(speed == 1 or soon(lambda: os.path.exists(os.path.join(folder, "rec.finishing.wav")), 15))
            time.sleep(1.0)
            for track in ("mic", "sys") if how == "tracks" else ():
                os.remove(os.path.join(folder, f"rec.{track}.caf"))
            shutil.rmtree(folder) if how == "folder" else os.rename(folder, moved) if how == "renamed" else None
            time.sleep(0.5 if how == "renamed" else 1.0)
            lived = self.assert_saved(helper, out, speed=speed)
            if how != "renamed":
                self.assertGreaterEqual(seconds(os.path.join(folder, "rec.mic.caf")), lived - 0.3)
            else:
                self.assertEqual(sorted(os.listdir(folder)), ["rec.drift.json", "rec.wav"])
                self.assertEqual(sorted(os.listdir(moved)), ["rec.mic.caf", "rec.sys.caf"] if keep else [])
                # At 30x on a busy machine the finisher, at the lowest priority, may leave more to the stop than a
                # second; it still wrote what it had, and its file became the output.
                said = [line for line in helper.diags("finisher:")
                        if not re.fullmatch(r"finisher: [0-9.]+ s were left for the stop", line) or speed == 1]
                self.assertEqual(said, [] if speed > 1 else
                                 ["finisher: it had not begun; the output is made from the tracks afresh"])
            shutil.rmtree(folder)
            shutil.rmtree(moved, ignore_errors=True)

    def test_stop_while_the_server_hangs(self):
        """Stop while the server hangs: the server killed and a socket in its place that accepts and never answers;
        the engine's restart waits on it, and a stop (or SIGTERM) still ends the run at once with the audio from
        before."""
        for how in ("stop", "SIGTERM"):
            pulse = self.pulse("module-sine sink=mic_feed frequency=1000")
            out = self.path(f"hang-{how}.wav")
            helper = self.start(out, "--mic-only", "--wav", binary=BIN, env=pulse.child_env())
            while float(helper.wait_line("LEVEL ", timeout=20).split()[1]) < 0.05:
                pass
            time.sleep(1.0)
            pulse.kill()
            hole = socket.socket(socket.AF_UNIX)
            os.unlink(pulse.socket_path) if os.path.exists(pulse.socket_path) else None
            hole.bind(pulse.socket_path)
            hole.listen(8)
            self.addCleanup(hole.close)
            threading.Thread(target=swallow, args=(hole,), daemon=True).start()
            helper.wait_diag("engine configuration change", timeout=20)
            time.sleep(0.3)
            asked = time.monotonic()
            helper.send("stop\n") if how == "stop" else helper.proc.send_signal(signal.SIGTERM)
            status, lines = helper.finish(timeout=30)
            self.assertLess(time.monotonic() - asked, 1.0, f"{how} waited on the server")
            self.assert_stopped(status, lines, out)
            self.assertGreaterEqual(seconds(out), 0.9)

    def test_damaged_tracks(self):
        """Damaged tracks: one cut short under its header, one at 44.1 kHz and a FIFO in a track's place."""
        sox(self.path("cut.mic.caf"), "synth", 3, "sine", 1000, "vol", 0.5)
        os.truncate(self.path("cut.mic.caf"), os.path.getsize(self.path("cut.mic.caf")) // 2)
        sox(self.path("cut.sys.caf"), "synth", 3, "sine", 440, "vol", 0.5, rate=44100)
        began = time.monotonic()
        self.assert_recovers(self.path("cut.wav"), 2.99)
        left, right = channels(self.path("cut.wav"))
        self.assertGreater(tone_level(left[24000:60000], 1000), 0.3, "the cut track's audio")
        self.assertGreater(tone_level(right[48000:96000], 440), 0.3, "the 44.1 kHz track at its own pitch")
        self.assertAlmostEqual(seconds(self.path("cut.wav")), 3.0, delta=0.005)
        os.mkfifo(self.path("fifo.mic.caf"))
        sox(self.path("fifo.sys.caf"), "synth", 1, "sine", 440)
        self.assert_recovers(self.path("fifo.wav"), 0.99)
        self.assertTrue(os.path.exists(self.path("fifo.mic.caf")), "the FIFO is left alone")
        self.assertLess(time.monotonic() - began, 20)

    def soak_run(self, minutes, speed=4):
        """A scripted recording of `minutes` in virtual time: a pause every six minutes, the microphone moved to
        another rate every five, clocks at +100 and -100 ppm, a click train on both. Returns the output, the
        active seconds the host's own lines say, and the helper's peak RSS in MB."""
        rates = [{"sampleRate": 44100, "channelCount": 2}, {"sampleRate": 16000, "channelCount": 1},
                 {"sampleRate": 8000, "channelCount": 1}, {"sampleRate": 48000, "channelCount": 1}]
        changes = [{"at": 300.0 * (i + 1), "format": rates[i % 4], "gapSeconds": 0.1} for i in range(int(minutes // 5))]
        clicks = {"signal": "clicks", "amplitude": 0.5, "clickEveryMs": 1000}
        scenario = {"speed": speed, "mic": dict(clicks, ppm=100, bufferFrames=1024, configChanges=changes),
                    "system": dict(clicks, ppm=-100)}
        out = self.path(f"soak{minutes}.wav")
        helper = self.start(out, "--wav", scenario=scenario)
        began = helper.arrival("STATUS recording")
        paused = 0.0
        for i in range(int(minutes // 6)):
            time.sleep(max(0.0, began + (360.0 * (i + 1) - 20.0) / speed - time.monotonic()))
            helper.request("pause")
            pause_at = time.monotonic()
            time.sleep(20.0 / speed)
            helper.request("resume")
            paused += (time.monotonic() - pause_at) * speed
        time.sleep(max(0.0, began + minutes * 60.0 / speed - time.monotonic()))
        with open(f"/proc/{helper.proc.pid}/status") as status:
            peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM")) / 1024
        helper.send("stop\n")
        stopped_at = time.monotonic()
        status, lines = helper.finish(timeout=600)
        self.assert_stopped(status, lines, out)
        self.assertFalse([line for line in lines if line.startswith("WARN write_backpressure")],
                         "the machine fell behind")
        return out, (stopped_at - began) * speed - paused, peak

    @long_only
    def test_soak(self):
        """Two-hour soak: the output holds the active time, the clicks still meet at the end, and memory is what
        ten minutes take."""
        _, _, short_peak = self.soak_run(10)
        out, active, peak = self.soak_run(120)
        self.assertAlmostEqual(seconds(out), active, delta=0.010 + 0.1)  # + the stop's last, unsent buffer
        left, right = channels(out, int((seconds(out) - 5.0) * 48000), 4.0)
        mic_clicks, sys_clicks = click_onsets(left), click_onsets(right)
        self.assertGreaterEqual(len(sys_clicks), 3, sys_clicks)
        for click in sys_clicks:
            self.assertLess(min(abs(m - click) for m in mic_clicks), 48, f"mic {mic_clicks} vs system {sys_clicks}")
        self.assertLess(peak, short_peak * 1.1 + 2, f"{peak:.1f} MB after two hours, {short_peak:.1f} MB after ten minutes")


def run_side_by_side(jobs):
    """Runs the cases `jobs` at a time, saying each one's outcome as it ends; True if all passed."""
    said = threading.Lock()

    def run_one(case):
        result, began = unittest.TestResult(), time.monotonic()
        case.run(result)
        outcome = "skipped" if result.skipped else "ok" if result.wasSuccessful() else "FAIL"
        with said:
            print(f"{case.id().rsplit('.', 1)[1]} ... {outcome} ({time.monotonic() - began:.1f} s)")
            for _, trace in result.failures + result.errors:
                print(trace)
            sys.stdout.flush()
        return result.wasSuccessful()

    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        return all(list(pool.map(run_one, unittest.defaultTestLoader.loadTestsFromTestCase(Reliability))))


if __name__ == "__main__":
    jobs = int(os.environ.get("ORVANE_RELIABILITY_JOBS", "1"))
    if jobs > 1:
        sys.exit(0 if run_side_by_side(jobs) else 1)
    unittest.main()
