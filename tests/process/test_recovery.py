"""Recovery mode through the real entry point: temporary tracks left by a run
that died become the output file, with the exit statuses and lines a host
relies on, and nothing that failed to read is thrown away."""
import os
import subprocess
import tempfile
import unittest

import audio_check
from harness import run

MIC_TONE = 1000
SYS_TONE = 440
EMPTY = "ERROR empty_recovery interleave produced no audio frames\n"
NO_TEMPS = "ERROR no_temps no temp tracks to finalize\n"


class Recovery(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def path(self, name):
        return os.path.join(self.dir, name)

    def track(self, name, frequency=None, seconds=2.0, content=None):
        """A temp track: a tone, empty (no frequency), or raw bytes."""
        if content is not None:
            with open(self.path(name), "wb") as f:
                f.write(content)
            return
        effect = ["synth", str(seconds), "sine", str(frequency), "vol", "0.5"] if frequency else ["trim", "0", "0"]
        subprocess.run(["sox", "-q", "-n", "-r", "48000", "-c", "1", "-b", "16", self.path(name), *effect],
                       check=True, capture_output=True)

    def recover(self, out_name, *extra):
        return run(["--out", self.path(out_name), "--finalize-temps", *extra])

    def assert_stopped(self, result, out_name):
        status, out, err = result
        self.assertEqual((status, out), (0, f"STATUS stopped {self.path(out_name)}\n"), err)
        return err

    def assert_channels(self, out_name, *tones):
        """Left carries the first tone, right the second; None: silent."""
        for channel, (samples, tone) in enumerate(zip(audio_check.channels(self.path(out_name)), tones)):
            if tone:
                self.assertGreater(audio_check.tone_level(samples, tone), 0.3, f"channel {channel}")
            else:
                self.assertLess(audio_check.rms(samples), 1e-4, f"channel {channel} is not silent")

    def assert_files(self, *names):
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(names))

    def test_wav_and_aac_output_mic_left_system_right_and_temps_are_gone_even_when_kept(self):
        for out_name, codec, extra in (("rec.wav", "pcm_s16le", ()), ("rec.m4a", "aac", ("--keep-temps",))):
            with self.subTest(out_name):
                self.track("rec.mic.caf", MIC_TONE)
                self.track("rec.sys.caf", SYS_TONE, seconds=1.5)
                self.assertNotIn("head-align", self.assert_stopped(self.recover(out_name, *extra), out_name))
                info = audio_check.probe(self.path(out_name))
                self.assertEqual((info["codec"], info["channels"], info["sample_rate"]), (codec, 2, 48000))
                self.assertAlmostEqual(info["duration"], 2.0, delta=0.03)
                self.assert_channels(out_name, MIC_TONE, SYS_TONE)
                self.assert_files(out_name)
                os.remove(self.path(out_name))

    def test_empty_tracks_exit_3_and_only_an_unreadable_one_stays(self):
        self.track("rec.mic.caf")
        self.track("rec.sys.caf")
        self.assertEqual(self.recover("rec.wav")[:2], (3, EMPTY))
        self.assert_files()
        self.track("rec.mic.caf")
        self.track("rec.sys.caf", content=b"garbage")
        self.assertEqual(self.recover("rec.wav")[:2], (3, EMPTY))
        self.assert_files("rec.sys.caf")

    def test_no_temps_exit_2_and_create_nothing_even_with_corrected_copies_left(self):
        self.assertEqual(self.recover("rec.m4a")[:2], (2, NO_TEMPS))
        self.assert_files()
        self.track("rec.mic.corrected.caf", MIC_TONE)
        self.assertEqual(self.recover("rec.m4a")[:2], (2, NO_TEMPS))
        self.assert_files("rec.mic.corrected.caf")

    def test_unreadable_track_is_kept_and_the_readable_one_is_recovered(self):
        garbage = b"\x13\x37" * 5000
        self.track("rec.mic.caf", content=garbage)
        self.track("rec.sys.caf", SYS_TONE)
        err = self.assert_stopped(self.recover("rec.wav"), "rec.wav")
        self.assertIn("interleave: mic track could not be opened", err)
        self.assert_files("rec.mic.caf", "rec.wav")
        with open(self.path("rec.mic.caf"), "rb") as f:
            self.assertEqual(f.read(), garbage)
        self.assert_channels("rec.wav", None, SYS_TONE)

    def test_a_track_left_out_by_the_mode_or_an_output_that_cannot_be_written_keeps_the_temps(self):
        self.track("rec.mic.caf", MIC_TONE)
        self.track("rec.sys.caf", SYS_TONE)
        self.assert_stopped(self.recover("rec.wav", "--mic-only"), "rec.wav")
        self.assert_files("rec.sys.caf", "rec.wav")
        self.assert_channels("rec.wav", MIC_TONE, None)
        os.remove(self.path("rec.wav"))
        status, out, _ = self.recover("rec.xyz")
        self.assertEqual(status, 2)
        self.assertTrue(out.startswith("ERROR finalize_failed ") and ".xyz" in out, out)
        self.assert_files("rec.sys.caf")

