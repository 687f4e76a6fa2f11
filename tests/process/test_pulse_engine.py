"""The sound-server microphone engine on a private PulseAudio, driven by
bench_pulse_probe (built next to the main binary): the format, pieces and time
stamps it delivers, and voice processing. (Which source it picks and how it
follows changes: the recordings in test_pulse_recording.py and
test_pulse_mic_health.py.)"""
import json
import os
import unittest

from harness import run
from pulse_server import PulseCase

VIRTUAL_MIC = ["module-null-sink sink_name=mic_sink rate=44100", "module-sine frequency=1000 sink=mic_sink",
               "module-remap-source master=mic_sink.monitor source_name=mic"]
PROBE = os.path.join(os.path.dirname(os.environ.get("ORVANE_BIN", "/nonexistent")), "bench", "bench_pulse_probe")


def record(pulse, *args):
    """The probe's lines, and its summary of a recording."""
    lines = run(["record", *args], binary=PROBE, env=pulse.child_env(), timeout=60)[1].splitlines()
    summary = next((line[len("summary "):] for line in lines if line.startswith("summary ")), "null")
    return lines, json.loads(summary)


@unittest.skipUnless(os.access(PROBE, os.X_OK), "bench_pulse_probe is not built (set ORVANE_BIN)")
class PulseEngine(PulseCase):
    modules = VIRTUAL_MIC

    def test_virtual_mic_delivers_its_own_format_with_stamps_at_its_rate_and_voice_processing_needs_an_aec(self):
        self.pulse.pactl("set-default-source", "mic")
        lines, result = record(self.pulse, "6", "--voice-processing")
        self.assertTrue(any(l.startswith("voice_processing_error ") and "echo" in l for l in lines), lines)
        self.assertEqual(result["format"], "44100 Hz, 2 ch, int16, interleaved")  # capture goes on without it
        self.assertLessEqual(result["max_frames"], 4096 * 4)  # bursts go out in pieces of up to 4 requests
        self.assertGreater(result["frames"], 44100 * 2)
        self.assertGreater(result["peak"], 0.1, "the 1 kHz tone should be in the buffers")
        self.assertEqual([result[key] for key in ("backwards", "invalid_stamps", "changes", "running_after_stop")],
                         [0, 0, 0, False])
        # Stamps advance at the source's rate (a loose bound: this is no timing benchmark).
        self.assertAlmostEqual(result["rate"] / 44100, 1.0, delta=0.005)
        self.pulse.load_module("module-echo-cancel source_master=mic sink_master=speakers aec_method=null "
                               "source_name=ec_mic")
        lines, _ = record(self.pulse, "2", "--voice-processing")
        self.assertIn("voice_processing ok", lines)
        self.assertIn("started", lines)
