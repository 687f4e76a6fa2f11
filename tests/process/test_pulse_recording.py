"""End to end on a private PulseAudio: the real binary records a 44.1 kHz
virtual microphone playing 1 kHz into both output encodings, opening no
monitor, and a killed run is recovered from its temporary tracks."""
import os
import signal
import time

from audio_check import channels, probe, rms, tone_level
from harness import BIN, run
from pulse_server import PulseCase, mic_modules


class MicrophoneRecording(PulseCase):
    modules = mic_modules("mic", 44100)

    def setUp(self):
        super().setUp()
        self.pulse.pactl("set-default-source", "mic")
        self.play("mic_feed", 44100, 1000)

    def start_mic_only(self, name, *args):
        out, helper = self.start(name, ["--mic-only", *args])
        # The first LEVEL line comes with the first buffer: the recorded time runs from there.
        helper.wait_line("LEVEL ", timeout=20)
        return out, helper, time.monotonic()

    def assert_mic_on_left(self, out):
        left, right = channels(out)
        middle = left[len(left) // 4:len(left) * 3 // 4]
        self.assertGreater(tone_level(middle, 1000), 0.01)
        self.assertLess(tone_level(middle, 440), 0.002)
        self.assertLess(rms(right), 1e-4)

    def temps(self):
        return sorted(f for f in os.listdir(self.dir.name) if f.endswith(".caf"))

    def test_mic_only_to_aac_and_to_wav_with_the_temps_kept(self):
        for name, args, codec in (("rec.m4a", (), "aac"), ("rec.wav", ("--wav", "--keep-temps"), "pcm_s16le")):
            with self.subTest(name=name):
                out, helper, began = self.start_mic_only(name, *args)
                mixer = self.pulse.pactl("list", "source-outputs")
                time.sleep(max(0.0, 4.0 - (time.monotonic() - began)))
                recorded = time.monotonic() - began
                lines = self.stop(helper)
                self.assertEqual(len([l for l in lines if l.startswith("STATUS recording ")]), 1)
                self.assertFalse([l for l in lines if l.startswith("WARN")], lines)
                self.assertIn("mic tap format: 44100.0 Hz, 1 ch", helper.stderr)
                self.assertIn('application.name = "orvane-capture"', mixer)
                self.assertIn('media.name = "Microphone"', mixer)
                self.assertNotIn('media.name = "System audio"', mixer, "a microphone-only run opens no monitor")
                info = probe(out)
                self.assertEqual((info["codec"], info["sample_rate"], info["channels"]), (codec, 48000, 2))
                self.assertAlmostEqual(info["duration"], recorded, delta=0.25)
                self.assert_mic_on_left(out)
                self.assertEqual(self.temps(), ["rec.mic.caf"] if "--keep-temps" in args else [])

    def test_killed_recording_is_recovered(self):
        for name, args, codec in (("crash.wav", ("--wav",), "pcm_s16le"), ("crash.m4a", (), "aac")):
            with self.subTest(name=name):
                out, helper, _ = self.start_mic_only(name, *args)
                time.sleep(2.5)
                helper.proc.send_signal(signal.SIGKILL)
                helper.finish()
                status, stdout, stderr = run(["--out", out, "--finalize-temps"], binary=BIN, env=self.env)
                self.assertEqual((status, stdout), (0, f"STATUS stopped {out}\n"), stderr)
                info = probe(out)
                self.assertEqual((info["codec"], info["channels"]), (codec, 2))
                self.assertGreater(info["duration"], 1.5)
                self.assert_mic_on_left(out)
                self.assertEqual(self.temps(), [])
