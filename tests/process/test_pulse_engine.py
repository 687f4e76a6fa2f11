"""The sound-server backend against a private PulseAudio: the microphone
engine (format, time stamps, which source it picks, the configuration-change
events, reconnection) and the permission probes.

Runs bench_pulse_probe (built next to the main binary) as a child.
"""

import json
import os
import subprocess
import time
import unittest

import pulse_server
from harness import Helper, run
from pulse_server import PulseServer

VIRTUAL_MIC = [
    "module-null-sink sink_name=mic_sink rate=44100",
    "module-sine frequency=1000 sink=mic_sink",
    "module-remap-source master=mic_sink.monitor source_name=mic",
]
PROBE_TIMEOUT_SECONDS = 60


def probe_path():
    main = os.environ.get("ORVANE_BIN")
    path = os.path.join(os.path.dirname(main), "bench", "bench_pulse_probe") if main else ""
    return path if os.access(path, os.X_OK) else None


def run_probe(env, *args):
    return run(args, binary=probe_path(), env=env, timeout=PROBE_TIMEOUT_SECONDS)[1].splitlines()


def permissions(env):
    return json.loads(run_probe(env, "permissions")[0])


def summary(lines):
    return json.loads(next(line for line in lines if line.startswith("summary "))[len("summary "):])


@unittest.skipUnless(pulse_server.pulseaudio_available(), "pulseaudio is not installed")
@unittest.skipUnless(probe_path(), "bench_pulse_probe is not built (set ORVANE_BIN)")
class PulseEngineTest(unittest.TestCase):

    def start(self, pulse, *args):
        """The probe recording in the background, once it has started."""
        probe = Helper(["record", *args], binary=probe_path(), env=pulse.child_env(), stdin=subprocess.DEVNULL)
        self.addCleanup(lambda: probe.proc.poll() is None and probe.proc.kill())
        self.wait(probe, "started")
        return probe

    def wait(self, probe, prefix):
        return probe.wait_line(prefix, PROBE_TIMEOUT_SECONDS).rstrip("\n")

    def test_virtual_mic_is_granted_and_delivers_its_own_format_with_stamps_at_its_rate(self):
        with PulseServer(VIRTUAL_MIC) as pulse:
            self.assertEqual(permissions(pulse.child_env()), {"microphone": 3, "screen": True, "request": True})
            result = summary(run_probe(pulse.child_env(), "record", "6"))
        self.assertEqual(result["format"], "44100 Hz, 2 ch, int16, interleaved")
        self.assertLessEqual(result["max_frames"], 4096 * 4)  # bursts go out in pieces of up to 4 requests
        self.assertGreater(result["frames"], 44100 * 2)
        self.assertGreater(result["peak"], 0.1, "the 1 kHz tone should be in the buffers")
        self.assertEqual([result[key] for key in ("backwards", "invalid_stamps", "changes", "running_after_stop")],
                         [0, 0, 0, False])
        # Stamps advance at the source's rate (a loose bound: this is no timing benchmark).
        self.assertAlmostEqual(result["rate"] / 44100, 1.0, delta=0.005)

    def test_a_monitor_is_never_taken_for_the_microphone(self):
        # Only the null sink's monitor: nothing to record, and no microphone to grant.
        with PulseServer() as pulse:
            self.assertEqual(pulse.info()["Default Source"], "speakers.monitor")
            self.assertEqual(permissions(pulse.child_env()), {"microphone": 2, "screen": True, "request": False})
            lines = run_probe(pulse.child_env(), "record", "1")
        self.assertIn("start_error no microphone source on the sound server", lines)
        # A monitor as the default and a real source beside it: the real one is used.
        with PulseServer(["module-sine-source rate=50000"]) as pulse:
            pulse.pactl("set-default-source", "speakers.monitor")
            lines = run_probe(pulse.child_env(), "record", "3")
        self.assertIn("started", lines)
        self.assertEqual(summary(lines)["format"], "50000 Hz, 1 ch, float32, interleaved")

    def test_losing_the_source_is_a_configuration_change(self):
        with PulseServer(VIRTUAL_MIC) as pulse:
            remap = next(int(row[0]) for row in pulse.short_list("modules") if row[1] == "module-remap-source")
            probe = self.start(pulse, "8", "--restart-on-change")
            time.sleep(1)
            pulse.unload_module(remap)
            # The server may first move the stream elsewhere: one change or more.
            self.wait(probe, "change ")
            # Only monitors remain: the restart must refuse them.
            self.assertEqual(self.wait(probe, "restart_error"),
                             "restart_error no microphone source on the sound server")
            # A new microphone appears: the retried start finds it.
            pulse.load_module("module-remap-source", "master=mic_sink.monitor", "source_name=mic2")
            self.wait(probe, "restarted 44100 Hz, 2 ch, int16, interleaved")
            probe.finish(PROBE_TIMEOUT_SECONDS)

    def test_changing_the_default_or_suspending_the_source_is_a_configuration_change(self):
        with PulseServer(VIRTUAL_MIC + ["module-sine-source rate=50000"]) as pulse:
            pulse.pactl("set-default-source", "mic")
            probe = self.start(pulse, "8", "--restart-on-change")
            pulse.pactl("set-default-source", "sine_input")
            self.wait(probe, "change ")
            self.wait(probe, "restarted 50000 Hz, 1 ch, float32, interleaved")
            pulse.pactl("suspend-source", "sine_input", "1")
            self.wait(probe, "change ")
            probe.finish(PROBE_TIMEOUT_SECONDS)

    def test_a_dead_server_is_a_change_and_a_new_one_is_reconnected(self):
        with PulseServer(VIRTUAL_MIC) as pulse:
            probe = self.start(pulse, "15", "--restart-on-change")
            time.sleep(1)
            pulse.kill()
            self.wait(probe, "change ")
            self.wait(probe, "restart_error the sound server is not reachable")
            pulse.restart()
            frames_at_restart = int(self.wait(probe, "restarted ").rsplit("frames=", 1)[1])
            result = summary([self.wait(probe, "summary ")])
            probe.finish(PROBE_TIMEOUT_SECONDS)
        self.assertGreater(result["frames"], frames_at_restart, "no audio after reconnecting")

    def test_voice_processing_needs_an_echo_canceller(self):
        with PulseServer(VIRTUAL_MIC) as pulse:
            lines = run_probe(pulse.child_env(), "record", "1", "--voice-processing")
            self.assertTrue(any(l.startswith("voice_processing_error ") and "echo" in l for l in lines), lines)
            self.assertIn("started", lines)  # capture goes on without it
            pulse.load_module("module-echo-cancel", "source_master=mic", "sink_master=speakers",
                              "aec_method=null", "source_name=ec_mic")
            lines = run_probe(pulse.child_env(), "record", "2", "--voice-processing")
        self.assertIn("voice_processing ok", lines)
        self.assertIn("started", lines)

    def test_no_server_leaves_permissions_unknown(self):
        self.assertEqual(permissions(pulse_server.unreachable_env()),
                         {"microphone": -1, "screen": False, "request": False})


if __name__ == "__main__":
    unittest.main()
