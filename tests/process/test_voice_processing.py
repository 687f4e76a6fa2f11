"""Voice processing on a real echo path: a loopback carries the speakers' monitor into the microphone at -10 dB
and 60 ms while far-end speech plays, near-end speech is spoken into the microphone over its end and goes on
alone. The output's microphone channel loses the echo, keeps the near end, and the temporary microphone track
stays as recorded. Figures with a moved path and the server's own canceller: scripts/bench-echo.py."""
import math
import os
import subprocess
import time

from pulse_server import PulseCase, mic_modules, one_server


def rms_db(path, start, seconds, channel=1):
    stat = subprocess.run(["sox", path, "-n", "remix", str(channel), "trim", f"{start:.3f}", f"{seconds:.3f}", "stat"],
                          capture_output=True, text=True, check=True).stderr
    rms = float(next(line for line in stat.splitlines() if line.startswith("RMS     amplitude")).split()[-1])
    return 20 * math.log10(max(rms, 1e-9))


def sounding(path, channel=1):
    """The first and last moments of `path` louder than -40 dBFS, in seconds: the players' own latencies
    (PipeWire takes a second or more to start one) leave when each voice sounded to the recording."""
    def length(*effects):
        stat = subprocess.run(["sox", path, "-n", "remix", str(channel), *effects, "stat"], capture_output=True,
                              text=True, check=True).stderr
        return float(next(line for line in stat.splitlines() if line.startswith("Length")).split()[-1])
    total = length()
    return total - length("silence", "1", "0.02", "-40d"), length("reverse", "silence", "1", "0.02", "-40d")


def speech(directory, name, voice, text):
    """`text` spoken by `voice` into <directory>/<name>.wav, at 48 kHz."""
    path = os.path.join(directory, name + ".wav")
    subprocess.run(["espeak-ng", "-v", voice, "-w", path + ".22k", text], check=True, timeout=60)
    subprocess.run(["sox", path + ".22k", "-r", "48000", path], check=True, timeout=60)
    return path


class VoiceProcessing(PulseCase):
    modules, default_source = mic_modules("mic", 48000), "mic"

    def test_the_microphone_channel_loses_the_echo_keeps_the_near_end_and_the_track_stays_raw(self):
        far = speech(self.dir, "far", "en-us", "Thank you for joining the call today. I want to go over the quarterly "
                          "numbers, and then the plans for the next release, the storage layer and the budget.")
        near = speech(self.dir, "near", "en+f3", "Could we move the deadline to the end of the summer? I also think we "
                           "should write a short guide.")
        self.pulse.pactl("set-sink-input-volume", self.pulse.echo_path(), "-10dB")
        out, helper = self.start("rec.wav", ["--voice-processing", "--wav", "--keep-temps"])
        play = lambda sink, path: self.player(["paplay", "--latency-msec=20", f"--device={sink}", path])  # noqa
        # The near end starts in the far end's last 2 s (double talk) and goes on alone.
        far_player = play("speakers", far)
        time.sleep(sounding(far)[1] - 2.0)
        near_player = play("mic_feed", near)
        far_player.wait(timeout=60)
        near_player.wait(timeout=60)
        time.sleep(0.5)
        self.stop(helper)
        self.assertEqual(helper.diags("voice processing"), [], helper.stderr)
        raw = out.removesuffix("wav") + "mic.caf"
        far_at, far_end = sounding(out, channel=2)
        near_end = sounding(raw)[1]
        near_at = near_end - (sounding(near)[1] - sounding(near)[0])
        self.assertGreater(near_end - far_end, 1.5, "the near end goes on alone")
        # Far end alone, after 5 s: the echo, 25 dB down. The temporary track holds it as it was heard: the
        # system audio at the loopback's -10 dB (PulseAudio's volume curve and the voices' pauses allow 4).
        far_span = (far_at + 5, near_at - far_at - 5.3)
        self.assertGreater(rms_db(raw, *far_span) - rms_db(out, *far_span), 25)
        self.assertAlmostEqual(rms_db(raw, *far_span) - rms_db(out, *far_span, channel=2), -10, delta=4)
        # Both at once: the near end loses at most 3 dB (the suppressor alone takes some 9 from it; the
        # recorded level holds the echo besides, some 10 dB under the near end).
        both_span = (near_at + 0.3, far_end - near_at - 0.5)
        self.assertGreater(rms_db(out, *both_span) - rms_db(raw, *both_span), -3)
        # Near end alone: as loud as the microphone heard it.
        near_span = (far_end + 0.3, near_end - far_end - 0.6)
        self.assertAlmostEqual(rms_db(out, *near_span), rms_db(raw, *near_span), delta=1)

    @one_server
    def test_mic_only_has_no_echo_to_take_out_and_says_so(self):
        self.play("mic_feed", 48000, 1000)
        out, helper = self.start("rec.wav", ["--voice-processing", "--wav", "--mic-only"])
        time.sleep(2)
        self.stop(helper)
        self.assertEqual(helper.diags("voice processing"), [
            "voice processing: no system audio is recorded with --mic-only, so there is no echo to take out; "
            "the microphone is written as recorded"])
        # Any processing moves the level by dBs; a player's underrun under load moves it by a tenth or two.
        self.assertAlmostEqual(rms_db(out, 0.5, 1.0), 20 * math.log10(0.5 / math.sqrt(2)), delta=0.5)
