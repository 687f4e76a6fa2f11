"""Recovery mode through the real entry point: temporary tracks left by a run
that died become the output file, with the exit statuses and lines a host
relies on, and nothing that failed to read is thrown away."""
import os
import re
import subprocess
import tempfile
import unittest

from harness import run

MIC_TONE = 1000
SYS_TONE = 440


def sox(*args):
    subprocess.run(["sox", "-q", *args], check=True, capture_output=True)


def tone_track(path, frequency, seconds=2.0):
    sox("-n", "-r", "48000", "-c", "1", "-b", "16", path, "synth", str(seconds), "sine", str(frequency), "vol", "0.5")


def empty_track(path):
    sox("-n", "-r", "48000", "-c", "1", "-b", "16", path, "trim", "0", "0")


def probe(path, entries):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", entries,
                          "-of", "default=nw=1", path], check=True, capture_output=True, text=True).stdout
    return dict(line.split("=", 1) for line in out.split())


def channel_tone(path, channel):
    """Rough frequency and RMS of one channel of a decoded file (sox stat)."""
    wav = path
    if not path.endswith(".wav"):
        wav = path + ".decoded.wav"
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", path, wav], check=True)
    stat = subprocess.run(["sox", wav, "-n", "remix", str(channel), "stat"], capture_output=True,
                          text=True).stderr
    if wav != path:
        os.remove(wav)
    rms = float(re.search(r"RMS\s+amplitude:\s+([\d.e+-]+)", stat).group(1))
    freq = int(re.search(r"Rough\s+frequency:\s+(-?\d+)", stat).group(1))
    return freq, rms


class Recovery(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def recover(self, out_name, *extra):
        return run(["--out", self.path(out_name), "--finalize-temps", *extra])

    def assert_tone(self, path, channel, frequency):
        freq, rms = channel_tone(path, channel)
        self.assertGreater(rms, 0.1, f"channel {channel} is silent")
        self.assertLess(abs(freq - frequency), frequency * 0.05, f"channel {channel} carries {freq} Hz")

    def assert_silent(self, path, channel):
        self.assertLess(channel_tone(path, channel)[1], 1e-4, f"channel {channel} is not silent")

    def test_wav_output_is_sixteen_bit_mic_left_system_right_and_temps_are_gone(self):
        tone_track(self.path("rec.mic.caf"), MIC_TONE)
        tone_track(self.path("rec.sys.caf"), SYS_TONE, seconds=1.5)
        status, out, err = self.recover("rec.wav")
        self.assertEqual((status, out), (0, f"STATUS stopped {self.path('rec.wav')}\n"), err)
        info = probe(self.path("rec.wav"), "stream=codec_name,channels,sample_rate,duration_ts")
        self.assertEqual(info, {"codec_name": "pcm_s16le", "channels": "2", "sample_rate": "48000",
                                "duration_ts": "96000"})
        self.assert_tone(self.path("rec.wav"), 1, MIC_TONE)
        self.assert_tone(self.path("rec.wav"), 2, SYS_TONE)
        self.assertEqual(sorted(os.listdir(self.dir)), ["rec.wav"])
        self.assertNotIn("head-align", err)

    def test_m4a_output_is_aac_and_holds_the_audio(self):
        tone_track(self.path("rec.mic.caf"), MIC_TONE)
        tone_track(self.path("rec.sys.caf"), SYS_TONE)
        status, out, err = self.recover("rec.m4a")
        self.assertEqual((status, out), (0, f"STATUS stopped {self.path('rec.m4a')}\n"), err)
        info = probe(self.path("rec.m4a"), "stream=codec_name,channels,sample_rate")
        self.assertEqual(info, {"codec_name": "aac", "channels": "2", "sample_rate": "48000"})
        self.assert_tone(self.path("rec.m4a"), 1, MIC_TONE)
        self.assert_tone(self.path("rec.m4a"), 2, SYS_TONE)
        self.assertEqual(sorted(os.listdir(self.dir)), ["rec.m4a"])

    def test_keep_temps_does_not_keep_them_after_a_recovery(self):
        tone_track(self.path("rec.mic.caf"), MIC_TONE)
        status, out, _ = self.recover("rec.wav", "--keep-temps")
        self.assertEqual(status, 0)
        self.assertEqual(sorted(os.listdir(self.dir)), ["rec.wav"])
        self.assert_tone(self.path("rec.wav"), 1, MIC_TONE)
        self.assert_silent(self.path("rec.wav"), 2)

    def test_empty_tracks_exit_3_with_no_output_and_no_temps(self):
        empty_track(self.path("rec.mic.caf"))
        empty_track(self.path("rec.sys.caf"))
        status, out, _ = self.recover("rec.wav")
        self.assertEqual((status, out), (3, "ERROR empty_recovery interleave produced no audio frames\n"))
        self.assertEqual(os.listdir(self.dir), [])

    def test_no_temps_exit_2_and_create_nothing_even_with_corrected_copies_left(self):
        status, out, _ = self.recover("rec.m4a")
        self.assertEqual((status, out), (2, "ERROR no_temps no temp tracks to finalize\n"))
        self.assertEqual(os.listdir(self.dir), [])
        tone_track(self.path("rec.mic.corrected.caf"), MIC_TONE)
        status, out, _ = self.recover("rec.m4a")
        self.assertEqual((status, out), (2, "ERROR no_temps no temp tracks to finalize\n"))
        self.assertEqual(os.listdir(self.dir), ["rec.mic.corrected.caf"])

    def test_unreadable_track_is_kept_and_the_readable_one_is_recovered(self):
        garbage = b"\x13\x37" * 5000
        with open(self.path("rec.mic.caf"), "wb") as f:
            f.write(garbage)
        tone_track(self.path("rec.sys.caf"), SYS_TONE)
        status, out, err = self.recover("rec.wav")
        self.assertEqual((status, out), (0, f"STATUS stopped {self.path('rec.wav')}\n"), err)
        self.assertIn("interleave: mic track could not be opened", err)
        self.assertEqual(sorted(os.listdir(self.dir)), ["rec.mic.caf", "rec.wav"])
        with open(self.path("rec.mic.caf"), "rb") as f:
            self.assertEqual(f.read(), garbage)
        self.assert_silent(self.path("rec.wav"), 1)
        self.assert_tone(self.path("rec.wav"), 2, SYS_TONE)

    def test_unreadable_track_is_kept_even_when_the_result_is_empty(self):
        with open(self.path("rec.sys.caf"), "wb") as f:
            f.write(b"garbage")
        empty_track(self.path("rec.mic.caf"))
        status, out, _ = self.recover("rec.wav")
        self.assertEqual((status, out), (3, "ERROR empty_recovery interleave produced no audio frames\n"))
        self.assertEqual(os.listdir(self.dir), ["rec.sys.caf"])

    def test_output_that_cannot_be_written_keeps_the_temps(self):
        tone_track(self.path("rec.mic.caf"), MIC_TONE)
        status, out, _ = self.recover("rec.xyz")
        self.assertEqual(status, 2)
        self.assertTrue(out.startswith("ERROR finalize_failed "), out)
        self.assertIn(".xyz", out)
        self.assertEqual(os.listdir(self.dir), ["rec.mic.caf"])

    def test_track_left_out_by_the_mode_is_kept(self):
        tone_track(self.path("rec.mic.caf"), MIC_TONE)
        tone_track(self.path("rec.sys.caf"), SYS_TONE)
        status, _, err = self.recover("rec.wav", "--mic-only")
        self.assertEqual(status, 0, err)
        self.assertEqual(sorted(os.listdir(self.dir)), ["rec.sys.caf", "rec.wav"])
        self.assert_silent(self.path("rec.wav"), 2)


if __name__ == "__main__":
    unittest.main()
