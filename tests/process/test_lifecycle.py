"""The helper's life as a host sees it: arguments, stop requests from every
direction, exactly one terminal line, and recovery from temporary tracks.
(The permission answers come from the sound server: test_pulse_mic_health.py.)"""
import os
import signal
import time

from harness import ScratchCase, channels, probe, rms, run, sox, terminal_lines, tone_level

STOPPED_EARLY = "ERROR stopped_early recording stopped before capture began\n"
EMPTY = "ERROR empty_recovery interleave produced no audio frames\n"
NO_TEMPS = "ERROR no_temps no temp tracks to finalize\n"


class Lifecycle(ScratchCase):
    def test_argument_errors_write_one_line_create_nothing_and_exit_2(self):
        for args, expected in (([], "ERROR args --out <path> is required\n"),
                               (["--out", "x.m4a", "--loud"], "ERROR args unknown argument --loud\n"),
                               (["--out", "x.m4a", b"--l\xe9\xe9t\xc3\xa9"],  # written as UTF-8, escaped
                                "ERROR args unknown argument --l\\xE9\\xE9t\u00e9\n"),
                               (["--out", "x.m4a", "--system-audio-from"],
                                "ERROR args --system-audio-from <name> needs a name\n"),
                               (["--system-audio-from", "", "--out", "x.m4a"],
                                "ERROR args --system-audio-from <name> needs a name\n"),
                               (["--out", "x.m4a", "--live-audio"], "ERROR args --live-audio <path> needs a path\n"),
                               (["--out", "x.m4a", "--live-audio", "s", "--live-rate", "44100"],
                                "ERROR args --live-rate takes 16000 or 48000\n")):
            with self.subTest(args=args):
                self.assertEqual(run(args, cwd=self.dir), (2, expected, ""))
                self.assertEqual(os.listdir(self.dir), [])

    def test_an_output_that_cannot_be_written_fails_before_recording(self):
        """Refused at once, with nothing created: a container we do not write or that cannot hold the encoding, a
        line break (it would forge a line) and a path that is not UTF-8 (a host could not read it), by a recovery
        too, a link, dangling or not (it would fail only at the stop), a 250-byte name (no room for the
        sidecar's), and a live audio socket nobody listens on."""
        path = self.path
        forged, not_utf8, link = path("x\nSTATUS stopped /fake.wav"), os.fsencode(path("b")) + b"\xe9.wav", path("l.wav")
        os.symlink(path("nowhere/else.wav"), link)
        started, recovered = "STATUS starting\nERROR start_failed ", "ERROR finalize_failed "
        for out, args, expected in (
                (path("rec.xyz"), [], started), (path("rec.wav"), [], started), (path("rec"), ["--wav"], started),
                (forged, ["--wav"], started + "the output path contains a line break\n"),
                (forged, ["--finalize-temps"], recovered + "the output path contains a line break\n"),
                (not_utf8, ["--wav"], started + "the output path is not valid UTF-8\n"),
                (not_utf8, ["--finalize-temps"], recovered + "the output path is not valid UTF-8\n"),
                (link, ["--wav"], started + f"cannot create {link}: it is a symbolic link\n"),
                (path("n" * 246 + ".wav"), ["--wav"], started + "the output name is too long"),
                (path("rec.wav"), ["--wav", "--live-audio", path("live.sock")], started +
                 f"cannot connect to the live audio socket {path('live.sock')}: No such file or directory\n")):
            with self.subTest(out=out, args=args):
                # Standard input stays open: its end would be a stop request racing the check.
                helper = self.helper(["--out", out, *args], wait=None)
                status, lines = helper.finish()
                whole_lines = expected.count("\n") + (not expected.endswith("\n"))
                self.assertEqual((status, "".join(lines)[:len(expected)], len(lines)), (2, expected, whole_lines))
                self.assertNotIn("\ufffd", "".join(lines) + helper.stderr, "all the helper writes is UTF-8")
                self.assertEqual(os.listdir(self.dir), ["l.wav"])

    def test_every_way_to_stop_ends_with_one_terminal_line(self):
        # What to wait for, then the requests in turn: text, signals, and pauses in seconds.
        cases = [(None, ()), ("STATUS starting", ("stop\n",)), ("STATUS recording", ("stop",)),
                 ("STATUS recording", ("st", 0.2, "op\n")), ("STATUS recording ", (signal.SIGTERM, signal.SIGTERM)),
                 ("STATUS starting", (signal.SIGTERM, "stop\n", signal.SIGINT)),
                 ("STATUS starting", (0.05, signal.SIGINT, "stop\n", signal.SIGTERM)),
                 ("STATUS starting", (0.3, signal.SIGINT))]
        for wait, requests in cases:
            with self.subTest(wait=wait, requests=requests):
                if wait is None:  # standard input at its end from the start
                    with open(os.devnull, "rb") as empty:
                        status, lines = self.helper(["--out", self.path("rec.m4a")], wait=None, stdin=empty).finish()
                else:
                    helper = self.helper(["--out", self.path("rec.m4a")], wait=None)
                    line = helper.wait_line(wait)
                    if wait == "STATUS recording ":
                        self.assertRegex(line, r"^STATUS recording \d{13}\n$")
                        self.assertLess(abs(int(line.split()[2]) - time.time() * 1000), 60_000)
                    for request in requests:
                        if isinstance(request, float):
                            time.sleep(request)
                        else:
                            helper.send(request) if isinstance(request, str) else helper.proc.send_signal(request)
                    status, lines = helper.finish()
                self.assertEqual((status, lines[0], terminal_lines(lines), lines[-1]),
                                 (2, "STATUS starting\n", [STOPPED_EARLY], STOPPED_EARLY))
                self.assertEqual(os.listdir(self.dir), [])


class Recovery(ScratchCase):
    """A dead run's temporary tracks become the output, with the statuses a host relies on, losing nothing."""

    def track(self, name, frequency=None, seconds=2.0, content=None):
        """A temp track: a tone, empty (no frequency), or raw bytes."""
        if content is not None:
            with open(self.path(name), "wb") as f:
                return f.write(content)
        sox(self.path(name), *(("synth", seconds, "sine", frequency, "vol", 0.5) if frequency else ("trim", 0, 0)))

    def recover(self, out_name, *extra, status=0, out=None, files=()):
        """Recovers into `out_name`: the status and line expected (by default, stopped with the output)
        and the files left after (the output among them when it stopped). Returns the diagnostics."""
        result = run(["--out", self.path(out_name), "--finalize-temps", *extra])
        self.assertEqual(result[:2], (status, out or f"STATUS stopped {self.path(out_name)}\n"), result[2])
        self.assertEqual(sorted(os.listdir(self.dir)), sorted([*files, *([out_name] if status == 0 else [])]))
        return result[2]

    def assert_channels(self, out_name, *tones):
        """Left carries the first tone, right the second; None: silent."""
        for channel, (samples, tone) in enumerate(zip(channels(self.path(out_name)), tones)):
            if tone:
                self.assertGreater(tone_level(samples, tone), 0.3, f"channel {channel}")
            else:
                self.assertLess(rms(samples), 1e-4, f"channel {channel} is not silent")
        os.remove(self.path(out_name))

    def test_wav_and_aac_output_mic_left_system_right_and_temps_are_gone_even_when_kept(self):
        for out_name, codec, extra in (("rec.wav", "pcm_s16le", ()), ("rec.m4a", "aac", ("--keep-temps",))):
            with self.subTest(out_name):
                self.track("rec.mic.caf", 1000)
                self.track("rec.sys.caf", 440, seconds=1.5)
                self.assertNotIn("head-align", self.recover(out_name, *extra))
                info = probe(self.path(out_name))
                self.assertEqual((info["codec"], info["channels"], info["sample_rate"]), (codec, 2, 48000))
                self.assertAlmostEqual(info["duration"], 2.0, delta=0.03)
                self.assert_channels(out_name, 1000, 440)

    def test_empty_tracks_exit_3_no_tracks_exit_2_and_only_what_could_not_be_read_stays(self):
        """Beside an earlier output, which only a recovery that writes one replaces: a 0-byte track goes with
        the track read beside it."""
        self.track("rec.wav", content=b"an earlier output")
        self.track("rec.mic.caf")
        self.track("rec.sys.caf")
        self.recover("rec.wav", status=3, out=EMPTY, files=["rec.wav"])
        self.track("rec.mic.caf")
        self.track("rec.sys.caf", content=b"garbage")
        self.recover("rec.wav", status=3, out=EMPTY, files=["rec.sys.caf", "rec.wav"])
        with open(self.path("rec.wav"), "rb") as earlier:
            self.assertEqual(earlier.read(), b"an earlier output")
        self.track("rec.mic.caf", content=b"")
        self.track("rec.sys.caf", 440)
        self.recover("rec.wav")
        self.recover("rec.wav", status=2, out=NO_TEMPS, files=["rec.wav"])
        self.assertAlmostEqual(probe(self.path("rec.wav"))["duration"], 2.0, delta=0.01)
        self.track("rec.mic.corrected.caf", 1000)  # a corrected copy is no temp track
        self.recover("rec.m4a", status=2, out=NO_TEMPS, files=["rec.mic.corrected.caf", "rec.wav"])

    def test_a_track_left_out_by_the_mode_or_an_output_that_cannot_be_written_keeps_the_temps(self):
        self.track("rec.mic.caf", 1000)
        self.track("rec.sys.caf", 440)
        self.recover("rec.wav", "--mic-only", files=["rec.sys.caf"])
        self.assert_channels("rec.wav", 1000, None)
        status, out, _ = run(["--out", self.path("rec.xyz"), "--finalize-temps"])
        self.assertEqual(status, 2)
        self.assertTrue(out.startswith("ERROR finalize_failed ") and ".xyz" in out, out)
        self.assertEqual(os.listdir(self.dir), ["rec.sys.caf"])
