"""Capture through the real entry point against scripted devices: engine
start retries, the tap format, the temporary tracks each mode creates and
what they hold, a stalled or failing disk, device changes, a silent
microphone, and the system-audio stream."""
import os
import subprocess
import tempfile
import time
import unittest

from harness import Helper, terminal_lines

DIAG = "[orvane-capture] "


def duration_seconds(path):
    out = subprocess.run(["sox", "--i", "-D", path], capture_output=True, text=True, check=True).stdout
    return float(out)


def peak_amplitude(path):
    stat = subprocess.run(["sox", path, "-n", "stat"], capture_output=True, text=True).stderr
    for line in stat.splitlines():
        if line.startswith("Maximum amplitude"):
            return float(line.split(":")[1])
    raise AssertionError(stat)


def diag_lines(helper, text):
    return [line for line in helper.stderr.splitlines() if line.startswith(DIAG + text)]


class SimRun(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.out = os.path.join(self.dir.name, "rec.m4a")
        self.mic_temp = os.path.join(self.dir.name, "rec.mic.caf")
        self.sys_temp = os.path.join(self.dir.name, "rec.sys.caf")
        self.helpers = []

    def tearDown(self):
        for helper in self.helpers:  # a failed test must not leave a recording running
            if helper.proc.poll() is None:
                helper.proc.kill()
                helper.proc.wait()
        self.dir.cleanup()

    def start(self, scenario, *args):
        helper = Helper(["--out", self.out] + list(args), scenario=scenario)
        self.helpers.append(helper)
        return helper

    def record_for(self, helper, real_seconds, speed):
        """Waits for recording, lets it run, stops; returns (status, lines, virtual seconds recorded)."""
        helper.wait_line("STATUS recording")
        began = time.monotonic()
        time.sleep(real_seconds)
        helper.send("stop\n")
        elapsed = (time.monotonic() - began) * speed
        status, lines = helper.finish()
        return status, lines, elapsed

    def assert_ended_after_capture(self, status, lines):
        """Audio was captured: the run ends with the output written."""
        ending = terminal_lines(lines)
        self.assertEqual(len(ending), 1, lines)
        self.assertTrue(ending[0].startswith("STATUS stopped "), ending)
        self.assertEqual(status, 0)


class EngineStart(SimRun):
    def test_two_failed_starts_are_retried_then_recording_begins(self):
        helper = self.start({"mic": {"startFailures": 2, "startErrorMessage": "device busy"}}, "--mic-only")
        helper.wait_line("STATUS recording")
        helper.send("stop\n")
        helper.finish()
        self.assertEqual(diag_lines(helper, "engine start retry"),
                         [DIAG + "engine start retry 1 after 0.2s: device busy",
                          DIAG + "engine start retry 2 after 0.4s: device busy"])
        self.assertEqual(helper.lines[:2][0], "STATUS starting\n")
        self.assertTrue(helper.lines[1].startswith("STATUS recording "), helper.lines)

    def test_three_failed_starts_end_with_engine_start(self):
        helper = self.start({"mic": {"startFailures": 3, "startErrorMessage": "device busy"}})
        status, lines = helper.finish()
        self.assertEqual((status, lines), (2, ["STATUS starting\n", "ERROR engine_start device busy\n"]))
        self.assertEqual(len(diag_lines(helper, "engine start retry")), 2)

    def test_tap_format_and_voice_processing_refusal_are_reported(self):
        scenario = {"mic": {"format": {"sampleRate": 44100, "channelCount": 2}, "voiceProcessingError": "no echo canceller"}}
        helper = self.start(scenario, "--voice-processing")
        helper.wait_line("STATUS recording")
        helper.send("stop\n")
        helper.finish()
        self.assertEqual(diag_lines(helper, "mic tap format"), [DIAG + "mic tap format: 44100.0 Hz, 2 ch"])
        self.assertEqual(diag_lines(helper, "voice processing"),
                         [DIAG + "voice processing unavailable: no echo canceller"])


class TempTracks(SimRun):
    def test_each_mode_creates_only_its_own_temps(self):
        for args, expected in ((["--mic-only"], ["rec.mic.caf"]), (["--system-only"], ["rec.sys.caf"]),
                               ([], ["rec.mic.caf", "rec.sys.caf"])):
            with self.subTest(args=args):
                helper = self.start({}, *args)
                helper.wait_line("STATUS recording")
                self.assertEqual(sorted(os.listdir(self.dir.name)), expected)
                helper.send("stop\n")
                helper.finish()

    def test_mic_only_temp_holds_the_recorded_audio(self):
        speed = 4
        scenario = {"speed": speed,
                    "mic": {"signal": "sine", "frequency": 1000, "amplitude": 0.5,
                            "format": {"sampleRate": 44100, "channelCount": 2, "sampleType": "int16", "interleaved": True}}}
        helper = self.start(scenario, "--mic-only", "--keep-temps")
        status, lines, recorded = self.record_for(helper, 3.0, speed)
        self.assert_ended_after_capture(status, lines)
        self.assertFalse(os.path.exists(self.sys_temp))
        # One buffer, the stop's own latency, the test's timing and a machine
        # loaded enough to cost a few buffers to back-pressure make the margin.
        self.assertAlmostEqual(duration_seconds(self.mic_temp), recorded, delta=1.5 + 0.05 * recorded)
        self.assertAlmostEqual(peak_amplitude(self.mic_temp), 0.5, delta=0.05)


class DiskTrouble(SimRun):
    def test_stalled_disk_warns_once_per_episode(self):
        # Real time, so that only the scripted stalls can fill the ring.
        scenario = {"mic": {"signal": "sine"},
                    "disk": {"mic": {"stallAfterWrites": [5, 20], "stallSeconds": 1.5}}}
        helper = self.start(scenario, "--mic-only")
        helper.wait_line("WARN write_backpressure mic", timeout=20)
        helper.wait_line("WARN write_backpressure mic", timeout=20)
        time.sleep(2.0)  # past the second release
        helper.send("stop\n")
        status, lines = helper.finish()
        self.assertEqual(lines.count("WARN write_backpressure mic\n"), 2, [l for l in lines if "WARN" in l])
        self.assertNotIn("WARN write_backpressure system\n", lines)
        self.assert_ended_after_capture(status, lines)

    def test_failed_writes_are_described_and_recording_goes_on(self):
        scenario = {"speed": 5, "mic": {"signal": "sine"},
                    "disk": {"mic": {"failAfterWrites": 3, "failCount": 4}}}
        helper = self.start(scenario, "--mic-only", "--keep-temps")
        status, lines, recorded = self.record_for(helper, 1.5, 5)
        self.assert_ended_after_capture(status, lines)
        self.assertEqual(diag_lines(helper, "mic write error"), [DIAG + "mic write error: domain=posix code=28"] * 4)
        self.assertNotIn("ERROR disk_write_failed\n", lines)
        # Four 4096-frame buffers are lost; the rest is there.
        self.assertAlmostEqual(duration_seconds(self.mic_temp), recorded - 4 * 4096 / 48000,
                               delta=1.0 + 0.05 * recorded)

    def test_ten_failed_writes_report_disk_write_failed_once(self):
        scenario = {"speed": 5, "mic": {"signal": "sine"}, "disk": {"mic": {"failAfterWrites": 2}}}
        helper = self.start(scenario, "--mic-only")
        helper.wait_line("ERROR disk_write_failed", timeout=20)
        time.sleep(1.0)
        helper.send("stop\n")
        status, lines = helper.finish()
        self.assertEqual(lines.count("ERROR disk_write_failed\n"), 1)
        self.assertEqual(diag_lines(helper, "mic write failed"),
                         [DIAG + "mic write failed 10 times; reporting disk_write_failed"])

    def test_a_track_that_cannot_be_created_fails_the_start(self):
        helper = self.start({"disk": {"mic": {"createError": "read-only file system"}}})
        status, lines = helper.finish()
        self.assertEqual((status, lines), (2, ["STATUS starting\n", "ERROR start_failed read-only file system\n"]))


class DeviceChanges(SimRun):
    def test_device_back_at_another_rate_keeps_the_track_going(self):
        speed = 5
        scenario = {"speed": speed,
                    "mic": {"signal": "sine", "configChanges": [{"at": 3, "format": {"sampleRate": 44100, "channelCount": 2}}]}}
        helper = self.start(scenario, "--mic-only", "--keep-temps")
        status, lines, recorded = self.record_for(helper, 1.6, speed)
        self.assert_ended_after_capture(status, lines)
        self.assertEqual(diag_lines(helper, "engine "),
                         [DIAG + "engine configuration change (running=false); restarting",
                          DIAG + "engine restarted, running=true"])
        # No silence is inserted for the change itself; the restart is immediate here.
        self.assertAlmostEqual(duration_seconds(self.mic_temp), recorded, delta=1.5 + 0.05 * recorded)

    def test_failed_restart_is_reported_and_the_silent_microphone_warned(self):
        scenario = {"mic": {"signal": "sine", "configChanges": [{"at": 0.5, "failStarts": 1}]}}
        helper = self.start(scenario, "--mic-only")
        helper.wait_line("STATUS recording")
        helper.wait_line("WARN mic_silent", timeout=20)
        helper.send("stop\n")
        status, lines = helper.finish()
        self.assert_ended_after_capture(status, lines)
        self.assertEqual(diag_lines(helper, "engine restart failed"),
                         [DIAG + "engine restart failed: input device unavailable"])
        self.assertEqual(diag_lines(helper, "mic produced"),
                         [DIAG + "mic produced no frames in the check window (Mic Mode / Voice Isolation?)"])

    def test_digital_silence_is_warned(self):
        helper = self.start({"mic": {"signal": "zeros"}}, "--mic-only")
        helper.wait_line("WARN mic_silent", timeout=20)
        helper.send("stop\n")
        status, lines = helper.finish()
        self.assertIn("LEVEL 0.000\n", lines)
        self.assertEqual(diag_lines(helper, "mic produced"),
                         [DIAG + "mic produced only digital silence in the check window "
                                 "(device lost to a call app's voice processing?)"])


class SystemStream(SimRun):
    def test_system_only_temp_holds_the_stream_audio_and_no_screen_buffers(self):
        speed = 4
        scenario = {"speed": speed, "system": {"signal": "sine", "frequency": 440, "amplitude": 0.5,
                                               "screenEvery": 5}}
        helper = self.start(scenario, "--system-only", "--keep-temps")
        status, lines, recorded = self.record_for(helper, 3.0, speed)
        self.assert_ended_after_capture(status, lines)
        self.assertFalse(os.path.exists(self.mic_temp))
        self.assertAlmostEqual(duration_seconds(self.sys_temp), recorded, delta=1.5 + 0.05 * recorded)
        # Screen buffers carry full-scale samples: a peak near 1.0 means one was written.
        self.assertLess(peak_amplitude(self.sys_temp), 0.6)

    def test_buffers_without_timestamps_are_still_written(self):
        scenario = {"speed": 4, "system": {"signal": "sine", "noTimestamps": True}}
        helper = self.start(scenario, "--system-only", "--keep-temps")
        status, lines, recorded = self.record_for(helper, 2.0, 4)
        self.assert_ended_after_capture(status, lines)
        self.assertAlmostEqual(duration_seconds(self.sys_temp), recorded, delta=1.5 + 0.05 * recorded)

    def test_stream_set_up_failures_end_the_start(self):
        cases = [
            ({"system": {"queryFails": True}}, "ERROR screen_permission screen recording access not granted\n"),
            ({"screenAllowed": False, "screenRequestAnswer": False},
             "ERROR screen_permission screen recording access not granted\n"),
            ({"displays": []}, "ERROR no_display no display available for capture\n"),
        ]
        for scenario, expected in cases:
            with self.subTest(scenario=scenario):
                status, lines = self.start(scenario).finish()
                self.assertEqual((status, lines), (2, ["STATUS starting\n", expected]))
                self.assertEqual(os.listdir(self.dir.name), [])

    def test_stream_start_error_ends_the_process(self):
        helper = self.start({"system": {"startError": "monitor source missing"}})
        status, lines = helper.finish()
        self.assertEqual(status, 2)
        self.assertEqual(lines[-1], "ERROR scstream_start monitor source missing\n")

    def test_stream_stopping_with_an_error_stops_the_recording(self):
        scenario = {"speed": 4, "mic": {"signal": "sine"},
                    "system": {"signal": "sine", "stopWithErrorAt": 8, "stopErrorMessage": "sink removed"}}
        helper = self.start(scenario, "--keep-temps")
        status, lines = helper.finish(timeout=30)
        self.assert_ended_after_capture(status, lines)
        self.assertEqual(diag_lines(helper, "scstream stopped"), [DIAG + "scstream stopped: sink removed"])
        if lines[-1].startswith("STATUS stopped"):
            self.assertEqual(lines[-2], "WARN screen_interrupted\n")
        # Exactly 8 s were played; back-pressure on a loaded machine may cost a few buffers.
        self.assertLessEqual(duration_seconds(self.sys_temp), 8.0 + 1e-6)
        self.assertGreater(duration_seconds(self.sys_temp), 7.0)


if __name__ == "__main__":
    unittest.main()
