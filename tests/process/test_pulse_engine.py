"""The sound-server backend against a private PulseAudio: the microphone
engine (format, buffer sizes, time stamps, which source it picks, the
configuration-change events, reconnection) and the permission probes.

Runs bench_pulse_probe (built next to the main binary) as a child.
"""

import json
import os
import subprocess
import threading
import time
import unittest

import pulse_server
from pulse_server import PulseServer

VIRTUAL_MIC = [
    "module-null-sink sink_name=mic_sink rate=44100",
    "module-sine frequency=1000 sink=mic_sink",
    "module-remap-source master=mic_sink.monitor source_name=mic",
]
PROBE_TIMEOUT_SECONDS = 60


def probe_path():
    main = os.environ.get("ORVANE_BIN")
    if not main:
        return None
    path = os.path.join(os.path.dirname(main), "bench", "bench_pulse_probe")
    return path if os.access(path, os.X_OK) else None


class Probe:
    """bench_pulse_probe running in the background; its lines collected as they come."""

    def __init__(self, args, env):
        self.lines = []
        self.condition = threading.Condition()
        self.process = subprocess.Popen([probe_path()] + args, env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, stdin=subprocess.DEVNULL)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            with self.condition:
                self.lines.append(line.rstrip("\n"))
                self.condition.notify_all()
        with self.condition:
            self.lines.append(None)  # end of output
            self.condition.notify_all()

    def wait_for(self, prefix, timeout=PROBE_TIMEOUT_SECONDS):
        """The first line starting with prefix; fails the wait on end of output or time-out."""
        deadline = time.monotonic() + timeout
        with self.condition:
            while True:
                for line in self.lines:
                    if line is not None and line.startswith(prefix):
                        return line
                if None in self.lines:
                    raise AssertionError(f"probe ended without '{prefix}': {self.lines}")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no '{prefix}' within {timeout} s: {self.lines}")
                self.condition.wait(left)

    def finish(self):
        try:
            self.process.wait(timeout=PROBE_TIMEOUT_SECONDS)
        finally:
            if self.process.poll() is None:
                self.process.kill()
        self.reader.join(timeout=5)
        self.process.stdout.close()
        return [line for line in self.lines if line is not None]

    def summary(self):
        line = self.wait_for("summary ")
        return json.loads(line[len("summary "):])


def run_probe(args, env):
    result = subprocess.run([probe_path()] + args, env=env, capture_output=True, text=True,
                            timeout=PROBE_TIMEOUT_SECONDS, stdin=subprocess.DEVNULL)
    return result.stdout.splitlines()


@unittest.skipUnless(pulse_server.pulseaudio_available(), "pulseaudio is not installed")
@unittest.skipUnless(probe_path(), "bench_pulse_probe is not built (set ORVANE_BIN)")
class MicrophoneEngineTest(unittest.TestCase):

    def test_virtual_mic_delivers_its_own_format_with_stamps_at_its_rate(self):
        with PulseServer(VIRTUAL_MIC) as pulse:
            probe = Probe(["record", "6"], pulse.child_env())
            probe.wait_for("started")
            summary = probe.summary()
            probe.finish()
        self.assertEqual(summary["format"], "44100 Hz, 2 ch, int16, interleaved")
        self.assertGreater(summary["buffers"], 10)
        self.assertLessEqual(summary["max_frames"], 4096 * 4)  # bursts go out in pieces of up to 4 requests
        self.assertGreater(summary["frames"], 44100 * 2)
        self.assertGreater(summary["peak"], 0.1, "the 1 kHz tone should be in the buffers")
        self.assertEqual(summary["backwards"], 0)
        self.assertEqual(summary["invalid_stamps"], 0)
        # Stamps advance at the source's rate (a loose bound: this is no timing benchmark).
        self.assertAlmostEqual(summary["rate"] / 44100, 1.0, delta=0.005)
        self.assertEqual(summary["changes"], 0)
        self.assertFalse(summary["running_after_stop"])

    def test_a_monitor_is_never_recorded_as_the_microphone(self):
        # Only the null sink's monitor: nothing to record.
        with PulseServer() as pulse:
            self.assertEqual(pulse.info()["Default Source"], "speakers.monitor")
            lines = run_probe(["record", "1"], pulse.child_env())
        self.assertIn("start_error no microphone source on the sound server", lines)
        # A monitor as the default and a real source beside it: the real one is used.
        with PulseServer(["module-sine-source rate=50000"]) as pulse:
            pulse.pactl("set-default-source", "speakers.monitor")
            lines = run_probe(["record", "3"], pulse.child_env())
        self.assertIn("started", lines)
        summary = json.loads(next(l for l in lines if l.startswith("summary "))[8:])
        self.assertEqual(summary["format"], "50000 Hz, 1 ch, float32, interleaved")

    def test_losing_the_source_is_a_configuration_change(self):
        with PulseServer(VIRTUAL_MIC) as pulse:
            remap = next(int(row[0]) for row in pulse.short_list("modules")
                         if row[1] == "module-remap-source")
            probe = Probe(["record", "8", "--restart-on-change"], pulse.child_env())
            probe.wait_for("started")
            time.sleep(1)
            pulse.unload_module(remap)
            # The server may first move the stream elsewhere: one change or more.
            probe.wait_for("change ")
            # Only monitors remain: the restart must refuse them.
            self.assertEqual(probe.wait_for("restart_error"),
                             "restart_error no microphone source on the sound server")
            # A new microphone appears: the retried start finds it.
            pulse.load_module("module-remap-source", "master=mic_sink.monitor", "source_name=mic2")
            probe.wait_for("restarted 44100 Hz, 2 ch, int16, interleaved")
            summary = probe.summary()
            probe.finish()
        self.assertGreaterEqual(summary["changes"], 1)

    def test_changing_the_default_source_is_a_configuration_change(self):
        with PulseServer(VIRTUAL_MIC + ["module-sine-source rate=50000"]) as pulse:
            pulse.pactl("set-default-source", "mic")
            probe = Probe(["record", "6", "--restart-on-change"], pulse.child_env())
            probe.wait_for("started")
            pulse.pactl("set-default-source", "sine_input")
            probe.wait_for("change ")
            probe.wait_for("restarted 50000 Hz, 1 ch, float32, interleaved")
            probe.finish()

    def test_suspending_the_source_is_a_configuration_change(self):
        with PulseServer(VIRTUAL_MIC) as pulse:
            probe = Probe(["record", "5"], pulse.child_env())
            probe.wait_for("started")
            pulse.pactl("suspend-source", "mic", "1")
            probe.wait_for("change ")
            probe.finish()

    def test_a_dead_server_is_a_change_and_a_new_one_is_reconnected(self):
        with PulseServer(VIRTUAL_MIC) as pulse:
            probe = Probe(["record", "15", "--restart-on-change"], pulse.child_env())
            probe.wait_for("started")
            time.sleep(1)
            pulse.kill()
            probe.wait_for("change ")
            probe.wait_for("restart_error the sound server is not reachable")
            pulse.restart()
            line = probe.wait_for("restarted ")
            frames_at_restart = int(line.rsplit("frames=", 1)[1])
            summary = probe.summary()
            probe.finish()
        self.assertGreater(summary["frames"], frames_at_restart, "no audio after reconnecting")

    def test_voice_processing_needs_an_echo_canceller(self):
        with PulseServer(VIRTUAL_MIC) as pulse:
            lines = run_probe(["record", "1", "--voice-processing"], pulse.child_env())
            self.assertTrue(any(l.startswith("voice_processing_error ") and "echo" in l for l in lines), lines)
            self.assertIn("started", lines)  # capture goes on without it
            pulse.load_module("module-echo-cancel", "source_master=mic", "sink_master=speakers",
                              "aec_method=null", "source_name=ec_mic")
            lines = run_probe(["record", "2", "--voice-processing"], pulse.child_env())
        self.assertIn("voice_processing ok", lines)
        self.assertIn("started", lines)


@unittest.skipUnless(pulse_server.pulseaudio_available(), "pulseaudio is not installed")
@unittest.skipUnless(probe_path(), "bench_pulse_probe is not built (set ORVANE_BIN)")
class PermissionsTest(unittest.TestCase):

    def probe(self, env):
        return json.loads(run_probe(["permissions"], env)[0])

    def test_a_server_with_a_microphone_grants_both(self):
        with PulseServer(VIRTUAL_MIC) as pulse:
            answer = self.probe(pulse.child_env())
        self.assertEqual(answer, {"microphone": 3, "screen": True, "request": True})

    def test_a_server_with_only_monitors_denies_the_microphone(self):
        with PulseServer() as pulse:
            answer = self.probe(pulse.child_env())
        self.assertEqual(answer, {"microphone": 2, "screen": True, "request": False})

    def test_no_server_is_unknown_and_answers_quickly(self):
        began = time.monotonic()
        answer = self.probe(pulse_server.unreachable_env())
        self.assertEqual(answer, {"microphone": -1, "screen": False, "request": False})
        self.assertLess(time.monotonic() - began, PROBE_TIMEOUT_SECONDS)


if __name__ == "__main__":
    unittest.main()
