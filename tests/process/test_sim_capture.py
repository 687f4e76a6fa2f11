"""Capture through the real entry point against scripted devices: failed starts, a stalled or failing disk,
FFmpeg's codecs kept out until the output is written, frames the server loses, the peak memory, the silence
watchdog. (Devices switching rates: the PulseAudio runs.)"""
import os
import time

from harness import RATE, ScratchCase, channels, command, click_onsets

CLICKS = {"signal": "sineClicks", "amplitude": 0.5, "clickEveryMs": 700, "clickWidthMs": 0.5}


class SimRun(ScratchCase):
    def setUp(self):
        super().setUp()
        self.out = self.path("rec.m4a")

    def start(self, scenario, *args, wait=None):
        return self.helper(["--out", self.out, *args], scenario=scenario, wait=wait)


class FailedStart(SimRun):
    def test_a_failed_start_ends_with_its_one_error_line(self):
        cases = [  # the scenario, the error line, and whether it comes before any file is made
            ({"disk": {"mic": {"createError": "read-only file system"}}},
             "ERROR start_failed read-only file system\n", True),
            ({"system": {"queryFails": True}}, "ERROR screen_permission screen recording access not granted\n", True),
            ({"sinks": []}, "ERROR no_display no display available for capture\n", True),
            ({"mic": {"startFailures": 3}}, "ERROR engine_start input device unavailable\n", False),
            ({"system": {"startError": "monitor source missing"}}, "ERROR scstream_start monitor source missing\n",
             False)]
        for scenario, expected, before_files in cases:
            with self.subTest(scenario=scenario):
                helper = self.start(scenario)
                status, lines = helper.finish()
                if "startError" in scenario.get("system", {}):
                    # The stream starts after the recording began, and its failure runs no stop sequence.
                    self.assertTrue(lines.pop(1).startswith("STATUS recording "), lines)
                self.assertEqual((status, lines), (2, ["STATUS starting\n", expected]))
                self.assertEqual(len(helper.diags("engine start retry")), 2 if "mic" in scenario else 0)
                if before_files:
                    self.assertEqual(os.listdir(self.dir), [])


class Trouble(SimRun):
    def test_a_busy_device_and_a_stalled_and_failing_disk_are_each_reported_as_they_should_be(self):
        """Real time, so that only the scripted stalls can fill the ring. Failed starts retried, a stalled disk
        warned once an episode, four failed writes described, a disk that fails every write reported once; the
        device's new format after a restart found its converter built before."""
        scenario = {"mic": {"signal": "sine", "startFailures": 2, "startErrorMessage": "device busy",
                            "format": {"sampleRate": 44100, "channelCount": 1},
                            "configChanges": [{"at": 1.0, "format": {"sampleRate": 48000, "channelCount": 1}}]},
                    "system": {"signal": "sine"},
                    "disk": {"mic": {"stallAfterWrites": [5, 20], "stallSeconds": 1.5, "failAfterWrites": 1,
                                     "failCount": 4}, "system": {"failAfterWrites": 2}}}
        helper = self.start(scenario, "--voice-processing")
        helper.wait_line("LEVEL")  # audio is being captured
        with open(f"/proc/{helper.proc.pid}/maps") as maps:
            self.assertNotRegex(maps.read(), "libav(codec|format)")
        helper.wait_line("WARN write_backpressure mic", timeout=20)
        helper.wait_line("WARN write_backpressure mic", timeout=20)
        time.sleep(2.0)  # past the second release
        recorded = time.monotonic() - helper.arrival("STATUS recording ")
        status, lines = helper.stop()
        self.assertEqual(lines[0], "STATUS starting\n")
        self.assertTrue(lines[1].startswith("STATUS recording "), lines)
        self.assertEqual(helper.diags("engine start retry"), ["engine start retry 1 after 0.2s: device busy",
                                                             "engine start retry 2 after 0.4s: device busy"])
        self.assertEqual(helper.diags("mic tap format"), ["mic tap format: 44100.0 Hz, 1 ch"])
        self.assertEqual(len(helper.diags("engine restarted")), 1)
        self.assertEqual(helper.diags("mic input changed"), [])
        self.assertEqual(helper.diags("voice processing"), [])  # taken out of the microphone at the stop
        # The tracks share one writer: a stalled write holds both.
        self.assertEqual(sorted(l for l in lines if l.startswith("WARN")),
                         ["WARN write_backpressure mic\n"] * 2 + ["WARN write_backpressure system\n"] * 2)
        # The meter goes on through the stalls: the sine's level, for every second 4096-frame buffer (at most
        # one line per 0.1 s; a late report timer may merge two).
        levels = [float(l.split()[1]) for l in lines if l.startswith("LEVEL ")]
        self.assertLess(max(abs(level - 0.5 / 2 ** 0.5) for level in levels), 0.001)
        self.assertTrue(0.8 * recorded * 44100 / 8192 - 2 < len(levels) < recorded * 44100 / 8192 + 3, len(levels))
        self.assertEqual(helper.diags("mic write error"), ["mic write error: domain=posix code=28"] * 4)
        self.assertGreater(len(helper.diags("system write error: domain=posix code=28")), 10)
        self.assertEqual(helper.diags("mic write failed") + helper.diags("system write failed"),
                         ["system write failed 10 times; reporting disk_write_failed"])
        self.assertEqual(lines.count("ERROR disk_write_failed\n"), 1)
        self.assert_stopped(status, lines, self.out, lines)  # the AAC output was written after all
        self.assertGreater(os.path.getsize(self.out), 0)


class DeviceChanges(SimRun):
    def test_frames_the_server_loses_are_silence_and_the_microphone_stays_in_step(self):
        """Holes of 1 ms to 2 s, reported (the frame index skips them) or only in the raw stamps: one gap diagnostic
        with its length per hole over the track's 5 ms, and the clicks meet the system's once the last is found."""
        holes = [(0.001, 0), (0.02, 1), (0.02, 0), (0.085, 0), (0.17, 1), (0.17, 0), (2.0, 1), (2.0, 0)]
        scenario = {"speed": 5, "system": dict(CLICKS, frequency=440), "mic": dict(CLICKS, holes=[
            {"at": 1.5 + 1.5 * i + 2 * (i > 6), "seconds": s, "reported": bool(r)} for i, (s, r) in enumerate(holes)])}
        self.out = self.path("rec.wav")
        helper = self.start(scenario, "--wav", wait="STATUS recording")
        time.sleep(21.0 / 5)
        status, lines = helper.stop()
        self.assert_stopped(status, lines, self.out, lines)
        if any(line.startswith("WARN write_backpressure") for line in lines):
            self.skipTest("the machine fell behind: dropped buffers shift the track")
        gaps = [float(d.split()[4]) for d in helper.diags("mic input gap of")]
        self.assertEqual(len(gaps), len(holes) - 1, helper.stderr)
        for gap, (seconds, _) in zip(gaps, holes[1:]):
            self.assertAlmostEqual(gap, seconds * 1000, delta=1.0, msg=gaps)
        # The microphone's (left) clicks within 2 ms of the system's (right), all but the last, from 17.2 s on.
        mic, system = (click_onsets(c, threshold=0.3) for c in channels(self.out, int(17.2 * RATE)))
        self.assertGreaterEqual(len(system), 3, system)
        for click in system[:-1]:
            self.assertLess(min(abs(c - click) for c in mic), 2 * RATE // 1000, f"mic {mic} vs system {system}")


class Memory(SimRun):
    def test_a_recording_peaks_under_its_bound_the_aac_one_with_ffmpeg_loaded_at_the_stop(self):
        """The most the helper ever held resident, as time(1) reads it at the exit (the kernel's figure for a
        child of this test would count the test's own memory): loading FFmpeg's fifty libraries at once peaked
        near 29 MB."""
        for ext, bound_mb in (("m4a", 20), ("wav", 12)):
            with self.subTest(ext=ext):
                self.out, peak = self.path(f"rec.{ext}"), self.path("peak")
                helper_args = command(["--out", self.out, *["--wav"] * (ext == "wav")],
                                      scenario={"speed": 10, "mic": CLICKS, "system": CLICKS})
                helper = self.helper(["-f", "%M", "-o", peak, *helper_args], binary="/usr/bin/time")
                time.sleep(1.0)
                self.assert_stopped(*helper.stop(), self.out)
                with open(peak) as f:
                    self.assertLess(int(f.read().split()[-1]) / 1024, bound_mb)


class SilenceWatchdog(SimRun):
    """The watchdog's checks come in real seconds. (A silent microphone warned, its recovery, and one with no
    buffers: the PulseAudio health run.)"""

    def test_no_level_line_while_paused(self):
        """Buffers stamped before a pause still arrive after it; the level they make is not reported."""
        helper = self.start({"mic": {"signal": "sine"}}, "--mic-only", wait="STATUS recording ")
        for _ in range(30):  # soon after a resume, a level measured and not yet reported is often due
            helper.request("pause")
            time.sleep(0.1)
            helper.request("resume")
            time.sleep(0.12)
        _, lines = helper.stop()
        inside = False
        for line in lines:
            inside = line == "STATUS paused\n" or (inside and line != "STATUS resumed\n")
            self.assertFalse(inside and line.startswith("LEVEL"), lines)

    def test_no_judgement_while_paused_the_warning_follows_the_resume(self):
        helper = self.start({"mic": {"signal": "zeros"}}, "--mic-only", wait="STATUS recording ")
        helper.send("pause\n")
        time.sleep(7.0)
        helper.send("resume\n")
        time.sleep(2.0)
        status, lines = helper.stop()
        self.assert_stopped(status, lines, self.out, lines)
        self.assertEqual([l for l in lines if l.startswith(("STATUS paused", "STATUS resumed", "WARN"))],
                         ["STATUS paused\n", "STATUS resumed\n", "WARN mic_silent\n"])
        self.assertEqual(len(helper.diags("mic produced")), 1)
