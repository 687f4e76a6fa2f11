"""The reliability suite: crashes, full disks, a hostile host and damaged files. Every case checks that nothing
captured is lost: the audio from before the fault is in the output or in tracks that a recovery turns into one.
One driver runs the table CASES; the long cases need ORVANE_LONG_RELIABILITY=1 (docs/reliability.md), and
ORVANE_RELIABILITY_JOBS=N runs N cases at a time (they mostly wait on their helpers)."""
import concurrent.futures
import os
import fcntl
import random
import re
import shutil
import signal
import socket
import subprocess
import stat
import sys
import tempfile
import termios
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "process"))
from harness import BIN, Helper, channels, click_onsets, command, probe, run, terminal_lines, tone_level  # noqa: E402
from pulse_server import PulseServer, mic_modules  # noqa: E402

LONG = os.environ.get("ORVANE_LONG_RELIABILITY") == "1"
# Sanitizers need address space beyond any limit and a free descriptor for each check of a pointer.
SANITIZED = "ASAN_OPTIONS" in os.environ
MODES = ([], ["--mic-only"], ["--system-only"])
SINES = {"mic": {"signal": "sine"}, "system": {"signal": "sine"}}
DRIFTING = {"speed": 25, "mic": {"signal": "sine", "ppm": 60}, "system": {"signal": "sine", "ppm": -60}}
IN_USE = "ERROR finalize_failed temporary tracks are in use by a running recording\n"


def seconds(path):
    """The length by ffprobe, checked against sox where sox reads the format (not AAC): both must read it."""
    by_ffprobe = probe(path)["duration"]
    if path.endswith(".m4a"):
        return by_ffprobe
    by_sox = float(subprocess.run(["sox", "--i", "-D", path], capture_output=True, text=True, check=True).stdout)
    assert abs(by_sox - by_ffprobe) < 0.05, (path, by_sox, by_ffprobe)
    return by_sox


def sox(path, *effects, rate=48000):
    """A mono 16-bit track made by sox's `effects` from nothing."""
    subprocess.run(["sox", "-n", "-r", str(rate), "-c", "1", "-b", "16", path, *map(str, effects)], check=True)


def recover(out, *args, size_limit=None):
    """--finalize-temps by the real binary, under a file size limit when given; (status, stdout, stderr)."""
    argv = ["--out", out, "--finalize-temps", *args]
    if size_limit is None:
        return run(argv, binary=BIN, timeout=120)
    return run([f"--fsize={size_limit}", BIN, *argv], binary="prlimit", timeout=120)


class Case(unittest.TestCase):
    """Scratch space, a scripted recording, and the checks every case shares."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvane-rel-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def start(self, out, *args, scenario=SINES, binary=None, env=None):
        helper = Helper(["--out", out, *args], scenario=None if binary else scenario, binary=binary, env=env)
        self.addCleanup(helper.kill)
        helper.wait_line("STATUS recording", timeout=20)
        return helper

    def assert_stopped(self, status, lines, out):
        self.assertEqual((status, terminal_lines(lines)), (0, [f"STATUS stopped {out}\n"]))

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
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
        try:
            os.write(fd, b"\0" * max(shutil.disk_usage(folder).free - leave, 0))
            while leave == 0:
                os.write(fd, b"\0" * 4096)
        except OSError:
            pass
        finally:
            os.close(fd)
        return filler



def crash_while_recording(case, runs=30 if LONG else 6, longest=60.0 if LONG else 2.5):
    """SIGKILL at a random moment of a recording in each mode and output kind (a WAV one while the finisher
    writes); the recovery holds the audio appended up to 200 ms before the kill (and the first buffer's 85 ms,
    which come before its stamp)."""
    rng = random.Random(7)
    worst = 0.0
    for i in range(runs):
        mode, ext = MODES[i % 3], ("wav", "m4a")[i % 2]
        out = case.path(f"crash{i}.{ext}")
        helper = case.start(out, *mode, *(["--wav"] if ext == "wav" else []))
        time.sleep(rng.uniform(0.3, longest))
        lived = case.crash(helper)
        case.assertFalse(os.path.exists(out), "nothing under the output's name before the stop")
        case.assert_recovers(out, lived - 0.2 - 0.1, *mode)
        case.assertFalse(os.path.exists(case.path(f"crash{i}.finishing.{ext}")), "the finisher's file is gone")
        worst = max(worst, lived - seconds(out))
    print(f"\n{runs} crashes recovered, worst shortfall {worst:.3f} s", file=sys.stderr)


def crash_during_stop(case, runs=10):
    """SIGKILL while the stop makes the drift-corrected output: the tracks are still whole."""
    rng = random.Random(11)
    for i in range(runs):
        out = case.path(f"stop{i}.wav")
        helper = case.start(out, "--wav", scenario=DRIFTING)
        time.sleep(130 / 25)
        helper.send("stop\n")
        time.sleep(rng.uniform(0.0, 0.4))
        helper.proc.kill()
        helper.finish()
        if not os.path.exists(case.path(f"stop{i}.mic.caf")):
            continue  # the stop finished first: its output stands
        case.assert_recovers(out, 129.0)



def frozen_threads(case, pid, name):
    """Stops the threads of process `pid` named `name`, alone (ptrace), until the returned call lets them go:
    threads starved of the CPU for as long as the case needs, on a machine however loaded."""
    import ctypes
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
            case.skipTest(f"cannot trace a thread here: {os.strerror(ctypes.get_errno())}")
        libc.ptrace(interrupt, int(task), None, None)
        os.waitpid(int(task), 0x40000000)  # __WALL: it has stopped
        tids.append(int(task))
    case.assertTrue(tids, f"no thread named {name}")

    def release():
        while tids:
            libc.ptrace(detach, tids.pop(), None, None)
    case.addCleanup(release)
    return release


def disk_full(case, moment):
    """The disk fills while recording (the appends fail, the host is told once), at the stop of two drifting
    minutes, or before the output's last write: the stop either succeeds with every frame, drift-corrected,
    or fails and keeps the tracks. Nearly full
    while the finisher writes a WAV output, the finisher gives the room up to the tracks at once, even with its
    thread starved of the CPU (here: stopped), and the stop makes the output with every frame."""
    folder = case.mount_tmpfs(64 if moment != "finisher" else 160)
    if moment == "finisher":  # it begins once the drift is measured, after 120 s
        finishing = os.path.join(folder, "rec.finishing.wav")
        helper = case.start(os.path.join(folder, "rec.wav"), "--wav", scenario=dict(SINES, speed=30))
        written = lambda: os.path.getsize(finishing) if os.path.exists(finishing) else -1
        case.assertTrue(any(written() > 16 << 20 or time.sleep(0.1) for _ in range(100)), "it writes")
        release = frozen_threads(case, helper.proc.pid, "finisher")
        filler = case.fill(folder, leave=15 << 20)
        # Just under the finisher's 16 MB reserve: the tracks take 5.8 MB a second at this speed, so the room
        # left lasts them over two and a half.
        case.assertTrue(any(written() < 0 or time.sleep(0.1) for _ in range(15)), "removed while recording")
        release()
        os.remove(filler)  # the stop's own output needs the room the recording went on taking
        status, lines = helper.stop()
        case.assert_stopped(status, lines, os.path.join(folder, "rec.wav"))
        case.assertIn("finisher: the disk is nearly full; the output is made from the tracks afresh", helper.stderr)
        case.assertNotIn("disk_write_failed", "".join(lines), helper.stderr)
        case.assertGreaterEqual(seconds(os.path.join(folder, "rec.wav")), 125.0)
        return
    scenario, seconds_in, length = {"recording": (SINES, 1.0, 0.9), "drifting": (DRIFTING, 130 / 25, 129.0),
                                    "output": (dict(SINES, speed=10), 2.0, 19.0)}[moment]
    for ext in ("wav", "m4a"):
        out = os.path.join(folder, f"rec.{ext}")
        helper = case.start(out, *(["--wav"] if ext == "wav" else []), scenario=scenario)
        time.sleep(seconds_in)
        tracks = sum(os.path.getsize(os.path.join(folder, f"rec.{t}.caf")) for t in ("mic", "sys"))
        filler = case.fill(folder, leave={"recording": 0, "drifting": tracks // 3, "output": 64 * 1024}[moment])
        if moment == "recording":
            helper.wait_line("ERROR disk_write_failed", timeout=20)
        status, lines = helper.stop()
        os.remove(filler)
        if status == 0 and moment == "drifting":
            case.assertRegex(helper.stderr, r"drift-correct mic: \d+\.\d ppm \u2192 \d+ frames")
            case.assertGreaterEqual(seconds(out), length)
        else:
            case.assertTrue(terminal_lines(lines)[0].startswith("ERROR finalize_failed "), lines)
            case.assert_recovers(out, length)
        os.remove(out)


def finisher_killed_or_behind(case):
    """SIGKILL while the finisher writes a WAV output (it begins after 120 s): nothing under the output's name,
    and the recovery holds every frame and removes the finisher's file. An AAC finisher that cannot keep up at
    60x leaves more to the stop, which still ends with every frame."""
    out, finishing = case.path("kill.wav"), case.path("kill.finishing.wav")
    helper = case.start(out, "--wav", scenario=dict(SINES, speed=30))
    case.assertTrue(any(os.path.exists(finishing) and os.path.getsize(finishing) > 8 << 20 or time.sleep(0.1)
                        for _ in range(100)), "it writes")
    case.crash(helper)
    case.assertFalse(os.path.exists(out))
    case.assert_recovers(out, max(seconds(case.path(f"kill.{track}.caf")) for track in ("mic", "sys")))
    case.assertFalse(os.path.exists(finishing))
    out = case.path("behind.m4a")
    helper = case.start(out, scenario=dict(SINES, speed=60))
    time.sleep(3.0)
    case.assert_stopped(*helper.stop(), out)
    # What the tracks took, as the helper says: a loaded machine holds the scripted clock back from 60x.
    recorded = max(float(line.split(" holds ")[1].split()[0]) for line in helper.diags("") if " track holds " in line)
    case.assertGreater(recorded, 60)
    # Every frame of the longer track, and no more than the other's later start put before it.
    case.assertGreaterEqual(seconds(out), recorded - 0.05)
    case.assertLess(seconds(out), recorded + 2.0)
    case.assertFalse(os.path.exists(case.path("behind.finishing.m4a")))


def tracks_removed_while_recording(case):
    """Deleted tracks, and then their whole folder: the stop reads the files it holds and names them again."""
    for removed in ("tracks", "folder"):
        folder = case.path(removed)
        os.mkdir(folder)
        out = os.path.join(folder, "rec.wav")
        helper = case.start(out, "--wav", "--keep-temps")
        time.sleep(1.0)
        for track in ("mic", "sys") if removed == "tracks" else ():
            os.remove(os.path.join(folder, f"rec.{track}.caf"))
        if removed == "folder":
            shutil.rmtree(folder)
        time.sleep(1.0)
        lived = case.assert_saved(helper, out)
        case.assertGreaterEqual(seconds(os.path.join(folder, "rec.mic.caf")), lived - 0.3)


def scripted(out, *args):
    """The scripted helper's argument vector."""
    return command(["--out", out, *args], scenario=SINES)


def unstopped(case, args, timeout=25, **options):
    """A run whose standard input stays open, so that only the helper ends it: (status, stdout text)."""
    helper = Helper(args, **({"scenario": SINES} if "binary" not in options else {}), **options)
    case.addCleanup(helper.kill)
    status, lines = helper.finish(timeout=timeout)
    return status, "".join(lines)


def a_crashed_runs_tracks_stop_a_new_start(case):
    """A new run with the --out of a crashed one, or over a file that is no track, refuses and touches nothing;
    over a track without audio it records. The tracks are private; the output and the sidecar get the mode the
    user's umask gives any new file, from a recovery and at a stop, so that a host can hand them on."""
    old = os.umask(0o027)
    case.addCleanup(os.umask, old)
    mode = lambda name: stat.S_IMODE(os.stat(case.path(name)).st_mode)  # noqa: E731
    out = case.path("crashed.wav")
    helper = case.start(out, "--wav")
    time.sleep(1.5)
    case.assertEqual((mode("crashed.mic.caf"), mode("crashed.sys.caf")), (0o600, 0o600))
    lived = case.crash(helper)
    with open(case.path("victim.mic.caf"), "wb") as f:
        f.write(b"not a track of ours")
    for name, why in (("crashed.wav", "holds"), ("victim.m4a", "is in the way")):
        before = {n: os.path.getsize(case.path(n)) for n in os.listdir(case.dir)}
        status, stdout = unstopped(case, ["--out", case.path(name), "--wav"])
        case.assertEqual(status, 2, stdout)
        case.assertTrue(stdout.split("\n")[1].startswith("ERROR start_failed ") and why in stdout, stdout)
        case.assertEqual({n: os.path.getsize(case.path(n)) for n in os.listdir(case.dir)}, before)
    case.assert_recovers(out, lived - 0.3)
    case.assertEqual(mode("crashed.wav"), 0o640)
    sox(case.path("crashed.mic.caf"), "trim", 0, 0)  # a track without audio, as a failed start leaves it, is replaced
    helper = case.start(out, "--wav")
    time.sleep(0.5)
    case.assert_stopped(*helper.stop(), out)
    case.assertEqual((mode("crashed.wav"), mode("crashed.drift.json")), (0o640, 0o640))


def a_host_that_stops_reading(case):
    """Standard output full: a stop still ends capture when asked; the lines come, terminal last, once read."""
    out = case.path("rec.wav")
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ: the smallest pipe
    proc = subprocess.Popen(scripted(out, "--wav"), stdin=subprocess.PIPE, stdout=write_end,
                            stderr=subprocess.DEVNULL)
    case.addCleanup(proc.kill)
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
        lines = [l.decode() for l in reader if not l.startswith(b"#")]
    case.assertEqual(proc.wait(timeout=30), 0)
    case.assertEqual(lines[-1], f"STATUS stopped {out}\n")
    case.assertLess(seconds(out), lived + 0.3, "capture went on after the stop")


def a_failed_stop_keeps_the_tracks_and_the_earlier_output(case):
    """An output that outgrows the file size limit, or the descriptor limit cut to what is open while recording
    (the stop cannot read a track that holds audio: never a success with a silent channel), fails the stop; it
    leaves the tracks for a recovery and nothing of its own, and the file at the path is the earlier one."""
    for limit in ("fsize", "nofile")[:1 if SANITIZED else 2]:
        folder = case.path(limit)
        os.mkdir(folder)
        out = os.path.join(folder, "rec.wav")
        with open(out, "wb") as f:
            f.write(b"an earlier recording")
        helper = case.start(out, "--wav")
        time.sleep(2.0)
        value = 320000 if limit == "fsize" else len(os.listdir(f"/proc/{helper.proc.pid}/fd"))
        subprocess.run(["prlimit", f"--pid={helper.proc.pid}", f"--{limit}={value}"], check=True)
        status, lines = helper.stop()
        case.assertEqual(status, 2, lines)
        case.assertTrue(terminal_lines(lines)[0].startswith("ERROR finalize_failed "), lines)
        case.assertEqual((open(out, "rb").read(), sorted(set(os.listdir(folder)) - {"rec.drift.json"})),
                         (b"an earlier recording", ["rec.mic.caf", "rec.sys.caf", "rec.wav"]))
        case.assert_recovers(out, 1.9)


def a_start_short_of_memory(case):
    """Too little address space: the start ends at once, or within its timeout, and says memory."""
    if not shutil.which("pulseaudio") or SANITIZED:
        case.skipTest("pulseaudio is not installed, or a sanitizer build")
    feed, source = mic_modules("mic", 48000)
    pulse = PulseServer([feed + " norewinds=1", source])
    pulse.start()
    case.addCleanup(pulse.stop)
    for megabytes in (200, 300, 400):
        status, stdout = unstopped(case, [f"--as={megabytes << 20}", BIN, "--out", case.path("rec.wav"), "--wav"],
                                   binary="prlimit", env=pulse.child_env())
        case.assertEqual(status, 2, stdout)
        case.assertIn("ERROR start_failed not enough memory", stdout)


def a_closed_standard_input(case):
    """Spawned with standard input closed: that is an end of input, so the run stops."""
    done = subprocess.run(scripted(case.path("rec.wav"), "--wav"), preexec_fn=lambda: os.close(0),
                          capture_output=True, timeout=10)
    case.assertEqual(done.returncode, 2, done.stdout)
    case.assertTrue(done.stdout.endswith(b"ERROR stopped_early recording stopped before capture began\n"))


def two_recoveries_at_once(case):
    """The second of two recoveries of one output refuses while the first writes it."""
    for track in ("mic", "sys"):
        sox(case.path(f"long.{track}.caf"), "synth", 600, "sine", 440)
    first = subprocess.Popen([BIN, "--out", case.path("long.m4a"), "--finalize-temps"], stdout=subprocess.PIPE)
    time.sleep(0.5)
    case.assertEqual(recover(case.path("long.m4a"))[:2], (2, IN_USE))
    case.assertEqual(first.wait(timeout=120), 0)
    case.assertAlmostEqual(seconds(case.path("long.m4a")), 600.0, delta=0.05)


def hang_ups(case):
    """A hang-up stops and saves as SIGTERM does: SIGHUP alone, a logout's SIGTERM then SIGHUP, and the helper's
    controlling terminal closing under it (its lines then reach nobody: the status and the files say it saved)."""
    for signals in ((signal.SIGHUP,), (signal.SIGTERM, signal.SIGHUP)):
        out = case.path(f"hup{len(signals)}.wav")
        helper = case.start(out, "--wav")
        time.sleep(1.0)
        for sig in signals:
            helper.proc.send_signal(sig)
        case.assert_saved(helper, out, ended=lambda: helper.finish(timeout=20))
    out = case.path("tty.wav")
    master, slave = os.openpty()
    proc = subprocess.Popen(scripted(out, "--wav"), stdin=slave, stdout=slave, stderr=slave, start_new_session=True,
                            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
    case.addCleanup(proc.kill)
    os.close(slave)
    screen = b""
    while b"STATUS recording" not in screen:
        screen += os.read(master, 4096)
    began = time.monotonic()
    time.sleep(1.0)
    os.close(master)
    lived = time.monotonic() - began
    case.assertEqual(proc.wait(timeout=20), 0)
    case.assertGreaterEqual(seconds(out), lived - 0.3)
    case.assertEqual(sorted(os.listdir(case.dir)), ["hup1.drift.json", "hup1.wav", "hup2.drift.json", "hup2.wav",
                                                    "tty.drift.json", "tty.wav"])


def fifos_in_the_way(case):
    """A FIFO where a track, the sidecar or the unfinished output goes is refused at once like any file in the way:
    nothing waits on it."""
    out = case.path("rec.wav")
    for name in ("rec.mic.caf", "rec.sys.caf", "rec.drift.json", "rec.partial.wav"):
        os.mkfifo(case.path(name))
        what = "a temporary track" if name in ("rec.mic.caf", "rec.sys.caf") else "a file the recording writes"
        case.assertEqual(unstopped(case, ["--out", out, "--wav"], timeout=10),
                         (2, f"STATUS starting\nERROR start_failed {case.path(name)} is in the way of {what} and is "
                             "none; move it away\n"))
        case.assertEqual(os.listdir(case.dir), [name])
        os.remove(case.path(name))


def names_of_a_running_recording(case):
    """A recovery, or a second recording, with the --out of a running one, and a run whose output, or a name it
    derives, is a file of a running recording with another output are refused and touch nothing: the running one's
    track or unfinished output as the output, an output whose track would be the running one's output, and a
    recovery into a running one's track. The running ones then save everything."""
    out = case.path("rec.wav")
    helper = case.start(out, "--wav")
    other = case.start(case.path("other.mic.caf"), "--wav")
    case.assertEqual(recover(out)[:2], (2, IN_USE))
    status, stdout = unstopped(case, ["--out", out, "--wav"])
    case.assertEqual(status, 2, stdout)
    case.assertTrue(stdout.split("\n")[1].startswith("ERROR start_failed the temporary track "), stdout)
    case.assertFalse(os.path.exists(out))
    for name in ("rec.mic.caf", "rec.sys.caf", "rec.partial.wav", "rec.finishing.wav", "other.wav"):
        before = sorted(os.listdir(case.dir))
        status, stdout = unstopped(case, ["--out", case.path(name), "--wav"])
        case.assertEqual(status, 2, stdout)
        case.assertRegex(stdout, r"^STATUS starting\nERROR start_failed \S+ is a file of a running recording "
                                 r"\(its temporary track \S+ is in use\); choose another --out\n$")
        case.assertEqual(sorted(os.listdir(case.dir)), before)
    sox(case.path("rec.mic.mic.caf"), "synth", 1, "sine", 440)
    status, stdout, _ = recover(case.path("rec.mic.caf"))
    case.assertEqual(status, 2)
    case.assertTrue(stdout.startswith(f"ERROR finalize_failed {case.path('rec.mic.caf')} is a file of a running "
                                      "recording"), stdout)
    case.assertTrue(os.path.exists(case.path("rec.mic.mic.caf")))
    case.assert_saved(helper, out)
    case.assertNotIn("was removed while recording", helper.stderr)
    case.assert_stopped(*other.stop(), case.path("other.mic.caf"))


def a_folder_renamed_while_recording(case):
    """The output's folder renamed while recording: the output is written where the host named it (the folder made
    again), and the tracks are removed where they went, or kept there with --keep-temps; a finisher that writes
    the output (from 120 s on, here at 30x) goes on in the renamed folder and its file becomes the output."""
    for keep, speed in (((), 1), (("--keep-temps",), 1), ((), 30)):
        folder, moved = case.path("D"), case.path("D2")
        os.mkdir(folder)
        out = os.path.join(folder, "rec.wav")
        helper = case.start(out, "--wav", *keep, scenario=dict(SINES, speed=speed))
        finishing = os.path.join(folder, "rec.finishing.wav")
        case.assertTrue(speed == 1 or any(os.path.exists(finishing) or time.sleep(0.1) for _ in range(150)))
        time.sleep(1.0)
        os.rename(folder, moved)
        time.sleep(0.5)
        case.assert_saved(helper, out, speed=speed)
        case.assertEqual(sorted(os.listdir(folder)), ["rec.drift.json", "rec.wav"])
        case.assertEqual(sorted(os.listdir(moved)), ["rec.mic.caf", "rec.sys.caf"] if keep else [])
        # At 30x on a busy machine the finisher, at the lowest priority, may leave more to the stop than a
        # second; it still wrote what it had, and its file became the output.
        left = [line for line in helper.diags("finisher:") if not re.fullmatch(
            r"finisher: [0-9.]+ s were left for the stop", line)] if speed > 1 else helper.diags("finisher:")
        case.assertEqual(left, [] if speed > 1 else
                         ["finisher: it had not begun; the output is made from the tracks afresh"])
        shutil.rmtree(folder)
        shutil.rmtree(moved)


def swallow(listener):
    """Accepts connections and never answers them, until the listener is closed."""
    held = []
    try:
        while True:
            held.append(listener.accept()[0])
    except OSError:
        pass


def stop_while_the_server_hangs(case):
    """The server killed and a socket in its place that accepts and never answers: the engine's restart
    waits on it, and a stop (or SIGTERM) still ends the run at once with the audio from before."""
    if not shutil.which("pulseaudio"):
        case.skipTest("pulseaudio is not installed")
    for how in ("stop", "SIGTERM"):
        feed, source = mic_modules("mic", 48000)
        pulse = PulseServer([feed + " norewinds=1", source, "module-sine sink=mic_feed frequency=1000"])
        pulse.start()
        case.addCleanup(pulse.stop)
        pulse.pactl("set-default-source", "mic")
        out = case.path(f"hang-{how}.wav")
        helper = case.start(out, "--mic-only", "--wav", binary=BIN, env=pulse.child_env())
        while float(helper.wait_line("LEVEL ", timeout=20).split()[1]) < 0.05:
            pass
        time.sleep(1.0)
        pulse.kill()
        hole = socket.socket(socket.AF_UNIX)
        os.unlink(pulse.socket_path) if os.path.exists(pulse.socket_path) else None
        hole.bind(pulse.socket_path)
        hole.listen(8)
        case.addCleanup(hole.close)
        threading.Thread(target=swallow, args=(hole,), daemon=True).start()
        helper.wait_diag("engine configuration change", timeout=20)
        time.sleep(0.3)
        asked = time.monotonic()
        helper.send("stop\n") if how == "stop" else helper.proc.send_signal(signal.SIGTERM)
        status, lines = helper.finish(timeout=30)
        case.assertLess(time.monotonic() - asked, 1.0, f"{how} waited on the server")
        case.assert_stopped(status, lines, out)
        case.assertGreaterEqual(seconds(out), 0.9)



def damaged_tracks(case):
    """A track cut short under its header, a track at 44.1 kHz and a FIFO in a track's place."""
    sox(case.path("cut.mic.caf"), "synth", 3, "sine", 1000, "vol", 0.5)
    with open(case.path("cut.mic.caf"), "rb+") as f:
        f.truncate(os.path.getsize(case.path("cut.mic.caf")) // 2)
    sox(case.path("cut.sys.caf"), "synth", 3, "sine", 440, "vol", 0.5, rate=44100)
    began = time.monotonic()
    case.assert_recovers(case.path("cut.wav"), 2.99)
    left, right = channels(case.path("cut.wav"))
    case.assertGreater(tone_level(left[24000:60000], 1000), 0.3, "the cut track's audio")
    case.assertGreater(tone_level(right[48000:96000], 440), 0.3, "the 44.1 kHz track at its own pitch")
    case.assertAlmostEqual(seconds(case.path("cut.wav")), 3.0, delta=0.005)
    os.mkfifo(case.path("fifo.mic.caf"))
    sox(case.path("fifo.sys.caf"), "synth", 1, "sine", 440)
    case.assert_recovers(case.path("fifo.wav"), 0.99)
    case.assertTrue(os.path.exists(case.path("fifo.mic.caf")), "the FIFO is left alone")
    case.assertLess(time.monotonic() - began, 20)



def soak_run(case, minutes, speed=4):
    """A scripted recording of `minutes` in virtual time: a pause every six minutes, the microphone moved to
    another rate every five, clocks at +100 and -100 ppm, a click train on both. Returns the output, the
    active seconds the host's own lines say, and the helper's peak RSS in MB."""
    rates = [{"sampleRate": 44100, "channelCount": 2}, {"sampleRate": 16000, "channelCount": 1},
             {"sampleRate": 8000, "channelCount": 1}, {"sampleRate": 48000, "channelCount": 1}]
    changes = [{"at": 300.0 * (i + 1), "format": rates[i % 4], "gapSeconds": 0.1} for i in range(int(minutes // 5))]
    clicks = {"signal": "clicks", "amplitude": 0.5, "clickEveryMs": 1000}
    scenario = {"speed": speed, "mic": dict(clicks, ppm=100, bufferFrames=1024, configChanges=changes),
                "system": dict(clicks, ppm=-100)}
    out = case.path(f"soak{minutes}.wav")
    helper = case.start(out, "--wav", scenario=scenario)
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
        peak = next(int(l.split()[1]) for l in status if l.startswith("VmHWM")) / 1024
    helper.send("stop\n")
    stopped_at = time.monotonic()
    status, lines = helper.finish(timeout=600)
    case.assert_stopped(status, lines, out)
    case.assertFalse([l for l in lines if l.startswith("WARN write_backpressure")], "the machine fell behind")
    return out, (stopped_at - began) * speed - paused, peak


def soak(case):
    """Two hours: the output holds the active time, the clicks still meet at the end, and memory is what
    ten minutes take."""
    _, _, short_peak = soak_run(case, 10)
    out, active, peak = soak_run(case, 120)
    case.assertAlmostEqual(seconds(out), active, delta=0.010 + 0.1)  # + the stop's last, unsent buffer
    first = int((seconds(out) - 5.0) * 48000)
    left, right = channels(out, first, 4.0)
    mic_clicks, sys_clicks = click_onsets(left), click_onsets(right)
    case.assertGreaterEqual(len(sys_clicks), 3, sys_clicks)
    for click in sys_clicks:
        case.assertLess(min(abs(m - click) for m in mic_clicks), 48, f"mic {mic_clicks} vs system {sys_clicks}")
    case.assertLess(peak, short_peak * 1.1 + 2, f"{peak:.1f} MB after two hours, {short_peak:.1f} MB after ten minutes")


CASES = [
    # name, the case, long only
    ("crash while recording (30 runs up to a minute when long)", crash_while_recording, False),
    ("crash during the stop", crash_during_stop, True),
    ("disk full while recording", lambda case: disk_full(case, "recording"), False),
    ("disk full at the output", lambda case: disk_full(case, "output"), False),
    ("disk nearly full while the finisher writes", lambda case: disk_full(case, "finisher"), False),
    ("disk full at a drifting stop", lambda case: disk_full(case, "drifting"), True),
    ("the finisher killed while it writes, or behind", finisher_killed_or_behind, False),
    ("tracks removed while recording", tracks_removed_while_recording, False),
    ("stop while the server hangs", stop_while_the_server_hangs, False),
    ("damaged tracks", damaged_tracks, False),
    ("a crashed run's tracks stop a new start; the modes of the files a run leaves",
     a_crashed_runs_tracks_stop_a_new_start, False),
    ("a host that stops reading", a_host_that_stops_reading, False),
    ("a failed stop keeps the tracks and the earlier output", a_failed_stop_keeps_the_tracks_and_the_earlier_output,
     False),
    ("a start short of memory", a_start_short_of_memory, False),
    ("a closed standard input", a_closed_standard_input, False),
    ("two recoveries at once", two_recoveries_at_once, False),
    ("hang-ups: SIGHUP, SIGTERM then SIGHUP, the terminal closed", hang_ups, False),
    ("FIFOs where the files go", fifos_in_the_way, False),
    ("names of a running recording", names_of_a_running_recording, False),
    ("a folder renamed while recording", a_folder_renamed_while_recording, False),
    ("two-hour soak", soak, True),
]


def load_tests(loader, tests, pattern):
    suite = unittest.TestSuite()
    for name, body, long_only in CASES:
        if long_only and not LONG:
            continue
        case = type("Reliability", (Case,), {"runTest": lambda self, body=body: body(self),
                                             "__str__": lambda self, name=name: name})()
        suite.addTest(case)
    return suite


def run_side_by_side(cases, jobs):
    """Runs the cases `jobs` at a time, saying each one's outcome as it ends; True if all passed."""
    said = threading.Lock()

    def run_one(case):
        result, began = unittest.TestResult(), time.monotonic()
        case.run(result)
        outcome = "ok" if result.wasSuccessful() else "FAIL"
        with said:
            print(f"{case} ... {'skipped' if result.skipped else outcome} ({time.monotonic() - began:.1f} s)")
            for _, trace in result.failures + result.errors:
                print(trace)
            sys.stdout.flush()
        return result.wasSuccessful()

    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        return all(list(pool.map(run_one, cases)))


if __name__ == "__main__":
    jobs = int(os.environ.get("ORVANE_RELIABILITY_JOBS", "1"))
    if jobs > 1:
        sys.exit(0 if run_side_by_side(list(load_tests(None, None, None)), jobs) else 1)
    unittest.main()
