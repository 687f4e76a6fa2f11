"""Voice processing and who spoke when, on a real echo path: a loopback carries the speakers' monitor into the
microphone at -10 dB and 60 ms; the far end plays into the speakers, the near end into the microphone. The output's
microphone channel loses the echo and keeps the near end, the temporary track stays as recorded (figures with a moved
path and the server's own canceller: scripts/bench-echo.py), and the speech timeline finds each voice on its channel."""
import array
import json
import math
import os
import subprocess
import time
import wave

from harness import BIN, run
from pulse_server import SERVER, PulseCase, mic_modules, one_server

BLOCK = 480  # 10 ms at 48 kHz
RATE = 48000
# What each voice says, where on its script (seconds): the near end alone, the far end alone, then both.
NEAR = [(0.5, "Could we move the deadline to the end of the summer?"),
        (10.0, "I also think we should write a short guide.")]
FAR = [(4.0, "Thank you for joining the call today. I want to go over the numbers."),
       (9.0, "Then the plans for the next release and the storage layer.")]
SPEECH_PAUSE_BLOCKS = 40  # words of one sentence are under 0.4 s apart


def script(directory, name, voice, lines, seconds):
    """One voice's part: its lines at their times, silence between. The wav path, and each line's start (in
    blocks of the script) and samples."""
    samples = array.array("h", bytes(2 * int(seconds * RATE)))
    spoken = []
    for index, (at, text) in enumerate(lines):
        with wave.open(speech(directory, f"{name}{index}", voice, text)) as w:
            said = array.array("h", w.readframes(w.getnframes()))
        first = int(at * RATE)
        samples[first:first + len(said)] = said
        spoken.append((first // BLOCK, said))
    path = os.path.join(directory, name + ".wav")
    subprocess.run(["sox", "-t", "raw", "-r", str(RATE), "-e", "signed", "-b", "16", "-c", "1", "-", path],
                   input=samples.tobytes(), check=True, timeout=60)
    return path, spoken


def energies(samples, stride=1, offset=0):
    """Mean energy of each 10 ms block of the channel `offset` of `stride` interleaved channels."""
    channel = samples[offset::stride]
    return [sum(s * s for s in channel[i:i + BLOCK]) / BLOCK for i in range(0, len(channel) - BLOCK + 1, BLOCK)]


def spans(blocks, pause=SPEECH_PAUSE_BLOCKS):
    """The truth: blocks within 40 dB of the loudest, merged across pauses between words; [first, end)."""
    loudest = max(blocks)
    found = []
    for index, energy in enumerate(blocks):
        if energy < loudest * 1e-4:
            continue
        if found and index - found[-1][1] < pause:
            found[-1][1] = index + 1
        else:
            found.append([index, index + 1])
    return found


def shift_of(first, loudness, recorded, shifts):
    """Of `shifts` (blocks from the script to the recording), the one where a line or a word (its blocks' loudness,
    from block `first` of the script) lines up best with the recording."""

    def likeness(shift):
        heard = recorded[first + shift:first + shift + len(loudness)]
        return sum(a * b for a, b in zip(loudness, heard)) / (sum(b * b for b in heard) ** 0.5 + 1e-9)
    return max(shifts, key=likeness)


def placed_spans(played, recorded, near):
    """A line's spans where the recording has them: the line placed whole, then each word (speech under 0.1 s
    apart) on its own, no earlier than the word before it. A server held up under load delays the rest of a line
    (0.18 s: its device's clock stood while the host's went on, and the recording keeps the host's), and a line
    placed whole put its end that far off."""
    loudness, heard = [e ** 0.5 for e in played], [e ** 0.5 for e in recorded]
    line = shift_of(0, loudness, heard, range(near, near + 150))  # a player under load falls behind its script
    placed, shift, said = [], max(near, line - 40), 0
    for first, end in spans(played, pause=10):
        shift = shift_of(first, loudness[first:end], heard, range(shift, shift + (80 if not placed else 40)))
        if placed and first - said < SPEECH_PAUSE_BLOCKS:  # one span as spoken, however late its end came
            placed[-1][1] = end + shift
        else:
            placed.append([first + shift, end + shift])
        said = end
    return [tuple(span) for span in placed]


def covered(segments, block):
    t = (block + 0.5) * BLOCK / RATE
    return any(start <= t < end for start, end in segments)


def sox_stat(path, field, channel, *effects):
    """A figure of sox's stat (its `field`) of one channel of `path`, after `effects`."""
    stat = subprocess.run(["sox", path, "-n", "remix", str(channel), *effects, "stat"], capture_output=True,
                          text=True, check=True).stderr
    return float(next(line for line in stat.splitlines() if line.startswith(field)).split()[-1])


def rms_db(path, start, seconds, channel=1):
    return 20 * math.log10(max(sox_stat(path, "RMS     amplitude", channel, "trim", f"{start:.3f}", f"{seconds:.3f}"),
                               1e-9))


def sounding(path, channel=1):
    """The first and last moments of `path` louder than -40 dBFS, in seconds: the players' own latencies
    (PipeWire takes a second or more to start one) leave when each voice sounded to the recording."""
    silence = ("silence", "1", "0.02", "-40d")
    return (sox_stat(path, "Length", channel) - sox_stat(path, "Length", channel, *silence),
            sox_stat(path, "Length", channel, "reverse", *silence))


def speech(directory, name, voice, text):
    """`text` spoken by `voice` into <directory>/<name>.wav, at 48 kHz."""
    path = os.path.join(directory, name + ".wav")
    subprocess.run(["espeak-ng", "-v", voice, "-w", path + ".22k", text], check=True, timeout=60)
    subprocess.run(["sox", path + ".22k", "-r", "48000", path], check=True, timeout=60)
    return path


class EchoPath(PulseCase):
    modules, default_source = mic_modules("mic", 48000), "mic"

    def setUp(self):
        super().setUp()
        self.pulse.pactl("set-sink-input-volume", self.pulse.echo_path(), "-10dB")

    def conversation(self, args):
        """Plays both parts into a recording with `args`; returns the output, the helper and each part's samples."""
        near_path, near = script(self.dir, "near", "en+f3", NEAR, 13.5)
        far_path, far = script(self.dir, "far", "en-us", FAR, 13.5)
        if first := self.first_run(seconds=1.5):
            self.assertFalse(os.path.exists(first.removesuffix(".wav") + ".speech.json"), "not asked for")
        out, helper = self.start("rec.wav", ["--wav", *args])
        # The server holds each part whole (13.5 s): a player held up on a busy machine for 0.2-0.4 s, with a
        # shorter buffer, left that much silence inside a line and moved the rest of it against the script.
        players = [self.player(["paplay", "--latency-msec=15000", f"--device={sink}", path])
                   for sink, path in (("speakers", far_path), ("mic_feed", near_path))]
        for player in players:
            player.wait(timeout=60)
        time.sleep(0.4)
        return out, helper, near, far

    def check_timeline(self, out, near, far):
        """The timeline beside `out` against the speech in it; returns the figures."""
        with open(out.removesuffix(".wav") + ".speech.json") as f:
            timeline = json.load(f)
        figures = {}
        recorded = array.array("h", subprocess.run(["sox", out, "-t", "raw", "-e", "signed", "-b", "16", "-"],
                                                   capture_output=True, check=True, timeout=60).stdout)
        self.assertEqual(set(timeline), {"version", "mic", "system"})
        self.assertEqual(timeline["version"], 1)
        for channel in ("mic", "system"):
            segments = timeline[channel]
            flat = [t for segment in segments for t in segment]
            self.assertEqual(flat, sorted(flat), f"{channel}: sorted, not overlapping")
            self.assertTrue(all(end > start for start, end in segments))
        results = {}
        for channel, part, offset in (("mic", near, 0), ("system", far, 1)):
            channel_energies = energies(recorded, 2, offset)
            truth = []
            for line_at, said in part:
                truth += placed_spans(energies(said), channel_energies, line_at)
            segments = timeline[channel]
            blocks = [b for first, end in truth for b in range(first, end)]
            coverage = sum(covered(segments, b) for b in blocks) / len(blocks)
            off = []
            for first, end in truth:
                inside = [s for s in segments if s[1] * RATE / BLOCK > first and s[0] * RATE / BLOCK < end]
                self.assertTrue(inside, f"{channel}: nothing found of {first}-{end}: {segments}")
                off += [abs(inside[0][0] - first * BLOCK / RATE), abs(inside[-1][1] - end * BLOCK / RATE)]
            results[channel] = (truth, coverage, max(off))
            figures[channel] = f"coverage {coverage:.3f}, worst boundary {max(off) * 1000:.0f} ms"
            self.assertGreaterEqual(coverage, 0.9, f"{channel}: {segments} against {truth}")
            self.assertLessEqual(max(off), 0.15, f"{channel}: {segments} against {truth}")
        # Where the far end speaks alone (with its echo's tail), the microphone is not speaking.
        near_truth, far_truth = results["mic"][0], results["system"][0]
        near_near = lambda b: any(first - 15 <= b < end + 15 for first, end in near_truth)  # noqa: E731
        far_only = [b for first, end in far_truth for b in range(first, end + 30) if not near_near(b)]
        false = sum(covered(timeline["mic"], b) for b in far_only) / len(far_only)
        figures["echo"] = f"far-only {len(far_only) / 100:.1f} s counted as the microphone's: {false:.3f}"
        self.assertLessEqual(false, 0.05, timeline["mic"])
        self.assertGreater(len(far_only), 400, "the script has seconds of the far end alone")
        return figures

    def test_each_voice_is_found_on_its_channel_at_the_stop_and_in_a_recovery_and_the_echo_is_not_the_microphone(self):
        # At the stop the timeline finds the echo path's delay from the channels; in a recovery under voice
        # processing the delay is the canceller's, and the timeline hears the microphone as recorded.
        out, helper, near, far = self.conversation(["--speech-timeline", "--keep-temps"])
        self.stop(helper)
        self.assertEqual(helper.diags("speech timeline"), [], helper.stderr)
        print(f"\n{SERVER}: {self.check_timeline(out, near, far)}")
        self.assertFalse(os.path.exists(out.removesuffix(".wav") + ".speech.partial.json"))
        if SERVER == "pipewire":
            return  # a recovery reads the kept tracks alone: the PulseAudio run takes it
        # The kept tracks, for a recovery with the option and one without (which writes none); each takes them.
        base = out.removesuffix("wav")
        tracks = {base + track: open(base + track, "rb").read() for track in ("mic.caf", "sys.caf")}
        timeline_path = out.removesuffix(".wav") + ".speech.json"
        for recovery in (["--speech-timeline", "--voice-processing"], []):
            os.remove(timeline_path)
            for track, data in tracks.items():
                with open(track, "wb") as f:
                    f.write(data)
            status, _, err = run(["--out", out, "--finalize-temps", *recovery], binary=BIN, env=self.env)
            self.assertEqual(status, 0, err)
            if recovery:
                self.check_timeline(out, near, far)
        self.assertFalse(os.path.exists(timeline_path))
        self.assertNotIn("speech timeline", err)

    def test_the_microphone_channel_loses_the_echo_keeps_the_near_end_and_the_track_stays_raw(self):
        far = speech(self.dir, "far", "en-us", "Thank you for joining the call today. I want to go over the quarterly "
                          "numbers, and then the plans for the next release, the storage layer and the budget.")
        near = speech(self.dir, "near", "en+f3", "Could we move the deadline to the end of the summer? I also think we "
                           "should write a short guide.")
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
