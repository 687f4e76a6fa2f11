"""End to end on a private PulseAudio started by the test: the real binary
records a virtual microphone, writes the output, and a killed run is
recovered from its temporary tracks."""
import os
import signal
import subprocess
import tempfile
import time
import unittest

from audio_check import channels, probe, rms, tone_level
from harness import BIN, Helper, run, terminal_lines
from pulse_server import PulseServer, pulseaudio_available

# A 44.1 kHz microphone that is not a monitor: a remapped source over a mono
# null sink's monitor, with a 1 kHz tone playing into that sink. The tone is
# played by paplay at low latency: module-sine would fill the sink in 2 s
# blocks and delay the first audio by as much.
VIRTUAL_MIC = [
    "module-null-sink sink_name=mic_feed rate=44100 channels=1 channel_map=mono",
    "module-remap-source source_name=virtual_mic master=mic_feed.monitor channels=1 channel_map=mono "
    "master_channel_map=mono remix=no",
]


@unittest.skipUnless(pulseaudio_available(), "pulseaudio is not installed")
class MicrophoneRecording(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pulse = PulseServer(extra_modules=VIRTUAL_MIC)
        cls.pulse.start()
        cls.pulse.pactl("set-default-source", "virtual_mic")
        cls.env = cls.pulse.child_env()
        cls.tone_dir = tempfile.TemporaryDirectory()
        tone = os.path.join(cls.tone_dir.name, "tone.wav")
        subprocess.run(["sox", "-n", "-r", "44100", "-c", "1", tone, "synth", "600", "sine", "1000", "vol", "0.5"],
                       check=True, timeout=60)
        cls.player = subprocess.Popen(["paplay", "--latency-msec=20", "--device=mic_feed", tone], env=cls.env)

    @classmethod
    def tearDownClass(cls):
        cls.player.kill()
        cls.player.wait()
        cls.tone_dir.cleanup()
        cls.pulse.stop()

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def record(self, name, extra_args, seconds=4.0, while_recording=None):
        out = os.path.join(self.dir.name, name)
        helper = Helper(["--out", out, "--mic-only"] + extra_args, binary=BIN, env=self.env)
        helper.wait_line("STATUS recording ", timeout=20)
        # The first LEVEL line comes with the first buffer: the recorded time runs from there.
        helper.wait_line("LEVEL ", timeout=20)
        began = time.monotonic()
        if while_recording:
            while_recording()
        time.sleep(max(0.0, seconds - (time.monotonic() - began)))
        helper.send("stop\n")
        recorded = time.monotonic() - began
        status, lines = helper.finish()
        return out, status, lines, recorded, helper.stderr

    def assert_mic_on_left(self, out):
        left, right = channels(out)
        middle = slice(len(left) // 4, len(left) * 3 // 4)
        self.assertGreater(tone_level(left[middle], 1000), 0.01)
        self.assertLess(tone_level(left[middle], 440), 0.002)
        self.assertLess(rms(right), 1e-4)

    def test_mic_only_to_aac_and_wav(self):
        for name, args, codec in (("rec.m4a", [], "aac"), ("rec.wav", ["--wav"], "pcm_s16le")):
            with self.subTest(name=name):
                out, status, lines, recorded, stderr = self.record(name, args)
                self.assertEqual(status, 0, stderr)
                self.assertEqual(len([l for l in lines if l.startswith("STATUS recording ")]), 1)
                self.assertEqual(terminal_lines(lines), [f"STATUS stopped {out}\n"])
                self.assertFalse([l for l in lines if l.startswith("WARN")], lines)
                self.assertIn("mic tap format: 44100.0 Hz, 1 ch", stderr)
                info = probe(out)
                self.assertEqual((info["codec"], info["sample_rate"], info["channels"]), (codec, 48000, 2))
                self.assertAlmostEqual(info["duration"], recorded, delta=0.25)
                self.assert_mic_on_left(out)
                self.assertEqual([f for f in os.listdir(self.dir.name) if f.endswith(".caf")], [])

    def test_keep_temps_keeps_the_microphone_track_and_the_mixer_names_us(self):
        mixer = []
        out, status, lines, _, stderr = self.record(
            "kept.m4a", ["--keep-temps"], seconds=2.0,
            while_recording=lambda: mixer.append(self.pulse.pactl("list", "source-outputs")))
        self.assertEqual(status, 0, stderr)
        self.assertIn('application.name = "orvane-capture"', mixer[0])
        self.assertIn('media.name = "Microphone"', mixer[0])
        self.assertTrue(os.path.exists(os.path.join(self.dir.name, "kept.mic.caf")))
        self.assertFalse(os.path.exists(os.path.join(self.dir.name, "kept.sys.caf")))

    def test_killed_recording_is_recovered(self):
        for name, args, codec in (("crash.wav", ["--wav"], "pcm_s16le"), ("crash.m4a", [], "aac")):
            with self.subTest(name=name):
                out = os.path.join(self.dir.name, name)
                helper = Helper(["--out", out, "--mic-only"] + args, binary=BIN, env=self.env)
                helper.wait_line("STATUS recording ", timeout=20)
                helper.wait_line("LEVEL ", timeout=20)
                time.sleep(2.5)
                helper.signal(signal.SIGKILL)
                helper.finish()
                status, stdout, stderr = run(["--out", out, "--finalize-temps"], binary=BIN, env=self.env)
                self.assertEqual((status, stdout), (0, f"STATUS stopped {out}\n"), stderr)
                info = probe(out)
                self.assertEqual((info["codec"], info["channels"]), (codec, 2))
                self.assertGreater(info["duration"], 1.5)
                self.assert_mic_on_left(out)
                self.assertFalse(os.path.exists(out.rsplit(".", 1)[0] + ".mic.caf"))


@unittest.skipUnless(pulseaudio_available(), "pulseaudio is not installed")
class RecoveryStatuses(unittest.TestCase):
    def test_empty_and_missing_tracks(self):
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "r.wav")
            status, stdout, _ = run(["--out", out, "--finalize-temps"], binary=BIN)
            self.assertEqual((status, stdout), (2, "ERROR no_temps no temp tracks to finalize\n"))
            self.assertEqual(os.listdir(d), [])


if __name__ == "__main__":
    unittest.main()
