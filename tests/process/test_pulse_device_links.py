"""The system audio records the sink the rules choose, and says which, on a server that remembers: several runs on
one server, the default sink set before each start and switched in the middle. PipeWire's session manager may link
a stream of ours where one of its name went before, whatever it asked for: there a run's first stream, or the one
after the switch, is linked by hand to the other sink's monitor once it runs, as the session manager would (one
relink a run: it costs a reopening or two, and the recorder allows four in ten seconds). Every part of every run
must hold the tone of the sink that was the default at its moment, and the diagnostic must name that sink. And a
headset's switch of both default devices at once, in both tracks."""
import os
import re
import signal
import subprocess
import sys
import time
import unittest

from harness import RATE, channels, click_onsets, rms, tone_level
from pulse_server import MONITOR_MIC, SERVER, PulseCase

# A player that stays on its sink when the default moves (paplay's stream follows it).
PINNED_PLAYER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pinned_player.py")
TONES = {"speakers": 440, "headset": 660}
OTHER = {"speakers": "headset", "headset": "speakers"}
# The sink each run starts on; it switches to the other in the middle. A start is now on the sink the run
# before ended on, now on the other one.
STARTS = ("speakers", "speakers", "headset", "headset")
PORTS = ("FL", "FR")
SETTLE = 1.2  # from a change of link or default until a part is measured


class AlternatingDefaultSink(PulseCase):
    """Two sinks, each with its own tone, and system audio alone (no microphone needed)."""

    modules = ["module-null-sink sink_name=headset"]

    def setUp(self):
        super().setUp()
        # Each tone stays on its sink whatever the default: both servers would otherwise move a player off a sink
        # that stops being the default (PulseAudio), or let one that sits on the default follow it from then on
        # (PipeWire). A second of it (whole cycles), looped, 200 ms of it held by the server: a player at 20 ms
        # underran on a loaded machine now and then, and a part held no tone.
        for sink, frequency in TONES.items():
            tone = self.sound(f"tone-{frequency}.wav", "synth", 1, "sine", frequency, "vol", 0.5)
            self.player([sys.executable, PINNED_PLAYER, sink, tone, "200"])
        time.sleep(2.1)  # what the idle sinks rendered ahead before the players' low latency holds

    def relink(self, sink, helper):
        """PipeWire: our stream, now on the other sink's monitor, is linked to `sink`'s instead (PulseAudio keeps
        a stream opened with a device there), all at once as a session manager does: the helper is held still
        meanwhile, so that no stream it opens in between takes the ports' ids (the server gives ids again) and
        gets a link of the old one's."""
        if SERVER != "pipewire":
            return
        ports = self.port_ids()
        ours = [ports[f"orvane-capture:input_{channel}"] for channel in PORTS]
        links = [["-d", ports[f"{OTHER[sink]}:monitor_{channel}"], port] for channel, port in zip(PORTS, ours)]
        links += [[ports[f"{sink}:monitor_{channel}"], port] for channel, port in zip(PORTS, ours)]
        helper.proc.send_signal(signal.SIGSTOP)
        try:
            for link in links:
                self.pulse.tool("pw-link", *link)
        finally:
            helper.proc.send_signal(signal.SIGCONT)

    def port_ids(self):
        """Every port's id by its "node:port" name."""
        listed = self.pulse.tool("pw-link", "-I", "-i", "-o")
        return {name: number for number, name in (line.split(None, 1) for line in listed.splitlines() if line.strip())}

    @staticmethod
    def sink_of(samples):
        """The sink whose tone `samples` hold, the other's ten times weaker at most; None for silence or both."""
        levels = {sink: tone_level(samples, frequency) for sink, frequency in TONES.items()}
        loud = max(levels, key=levels.get)
        return loud if levels[loud] > 0.02 and levels[OTHER[loud]] < levels[loud] / 10 else None

    @staticmethod
    def devices_named(helper):
        """The sinks the diagnostics said the system audio records, in order."""
        return re.findall(r"system audio records (\w+)\.monitor ", helper.stderr)

    def test_every_part_of_every_run_records_the_default_sink_of_its_moment_and_says_so(self):
        results = []  # (run, part, default sink, sink heard, sink the diagnostic named last)
        logs = []
        for run, first in enumerate(STARTS):
            self.pulse.pactl("set-default-sink", first)
            out, helper = self.start(f"run{run}.wav", ["--wav", "--system-only"])
            tracks = [name for name in os.listdir(self.dir) if name.endswith(".caf")]
            self.assertEqual(tracks, [f"run{run}.sys.caf"])
            time.sleep(0.5)
            if run % 2 == 0:
                self.relink(OTHER[first], helper)
            time.sleep(SETTLE + 1.0)
            said_first = self.devices_named(helper)
            self.pulse.pactl("set-default-sink", OTHER[first])
            helper.wait_diag("system audio follows default sink")
            time.sleep(0.5)
            if run % 2 == 1:
                self.relink(first, helper)
            time.sleep(SETTLE + 1.0)
            self.stop(helper)
            said = self.devices_named(helper)
            logs.append(f"run {run}:\n{helper.stderr}")
            mic, system = channels(out)
            self.assertLess(rms(mic), 1e-4)
            # Each part ends before the next change, which a late first frame may bring early in the file.
            parts = (system[int((0.5 + SETTLE) * RATE): int((1.3 + SETTLE) * RATE)], system[-RATE: -RATE // 5])
            named = (said_first[-1] if said_first else None, said[-1] if len(said) > len(said_first) else None)
            for part, (default, samples, sink) in enumerate(zip((first, OTHER[first]), parts, named)):
                results.append((run, part, default, self.sink_of(samples), sink))
        right = sum(heard == default for _, _, default, heard, _ in results)
        print(f"\n{SERVER}: segments on the right device: {right} of {len(results)}")
        self.assertEqual([(run, part, default) for run, part, default, _, _ in results],
                         [(run, part, heard) for run, part, _, heard, _ in results], "the sink heard\n" + "".join(logs))
        self.assertEqual([(run, part, heard) for run, part, _, heard, _ in results],
                         [(run, part, named) for run, part, _, _, named in results], "the sink named")

    @unittest.skipUnless(SERVER == "pipewire", "a new stream links within milliseconds on PulseAudio")
    def test_a_default_switched_back_while_the_new_stream_links_is_followed_back(self):
        """A switch and a switch back while the stream opened for the first is still linking (PipeWire: 0.1-0.6
        s): the default of the end is recorded from then on, not the sink of the switch between."""
        self.pulse.pactl("set-default-sink", "speakers")
        out, helper = self.start("flip.wav", ["--wav", "--system-only"])
        time.sleep(1.5)
        marks = []
        for delay in (0.05, 0.08, 0.05, 0.08):
            self.pulse.pactl("set-default-sink", "headset")
            time.sleep(delay)
            self.pulse.pactl("set-default-sink", "speakers")
            time.sleep(SETTLE + 0.3)
            marks.append(time.monotonic())
            time.sleep(0.5)
        self.stop(helper)
        _, system = channels(out)
        ends = [len(system) - int((marks[-1] + 0.5 - mark) * RATE) for mark in marks]
        self.assertEqual([self.sink_of(system[end - RATE // 2: end]) for end in ends], ["speakers"] * len(marks),
                         helper.stderr)


# What a switch of both devices may cost, in ms of audio a track loses and of the clicks both tracks hear. A
# stream on the old device records on until the new one delivers, so a track loses nothing while both devices
# sound; a busy machine's player or server leaves up to 30 ms unheard now and then. On PipeWire a busy machine's
# graph also stalls now and then for 0.1 s or more, in both tracks at once: one switch of the nine may hold such a
# stall (both tracks silent, the clicks apart by as much while the stamps show where it goes).
SWITCH_LOST_MS = {"mic": 50, "system": 50}
STALLS, STALL_MS = (0, 0) if SERVER == "pulseaudio" else (1, 250)
# PulseAudio's stamps of a stream opened again settle onto its earliest arrivals as the stream's before did.
# PipeWire's server sends a fragment whole and keeps the rest, so every arrival of a stream may come equally late
# by part of a graph cycle, and on a busy machine a stream's stamps, opened again or not, now and then move by a
# cycle (5.3 ms here): there the channels stay within a cycle and 2 ms of where they were, and one switch of the
# nine (a stall's own clicks) may lie further.
SWITCH_APART_MS = 2 if SERVER == "pulseaudio" else 8
SWITCHES_APART = 0 if SERVER == "pulseaudio" else 1
# A gap the helper fills in one track for want of input, with none alike in the other (a stall is filled in both,
# up to a cycle apart), is audio that track lost: its stream moved under it, or closed before the next delivered.
LONE_GAP_MS, GAPS_ALIKE_MS = 20, 10
# On PipeWire one lone gap under 0.12 s came in about 15 runs, unexplained; a stream moved under the helper lost
# 0.13-0.29 s, and more than once a run.
LONE_GAPS_SPARED = (0, 0) if SERVER == "pulseaudio" else (1, 120)


class HeadsetProfileSwitch(PulseCase):
    """A headset's switch to its call profile and back: the default sink and the default source change at once,
    to a 16 kHz pair and back. Each microphone is a remapped monitor of its sink, and each sink has a player of
    its own, so both devices sound throughout and both tracks hear the same click train (every 0.5 s; the
    headset's clicks of the other sign) over a quiet tone that shows any silence."""

    modules = ["module-null-sink sink_name=headset rate=16000 channels=1 channel_map=mono",
               MONITOR_MIC,
               "module-remap-source source_name=headset_mic master=headset.monitor rate=16000 channels=1 "
               "channel_map=mono master_channel_map=mono remix=no"]
    default_source, keep_sinks = "mic", ("speakers", "headset")

    def test_switching_both_devices_at_once_keeps_both_tracks_whole_and_in_step(self):
        for sink, sign in (("speakers", 1), ("headset", -1)):
            sound = self.path(f"{sink}.wav")
            subprocess.run(["sox", "-m", "-v", "1", f"|sox -n -r 48000 -c 1 -p synth 0.001 square 500 vol {0.8 * sign} "
                            "pad 0 0.499 repeat 80", "-v", "1", "|sox -n -r 48000 -c 1 -p synth 40.5 sine 300 vol 0.05",
                            "-b", "16", sound], check=True, timeout=60)
            self.player([sys.executable, PINNED_PLAYER, sink, sound])
        self.first_run()
        out, helper = self.start("switch.wav", ["--wav"])
        began = time.monotonic()
        time.sleep(2.0)
        switched = []
        for cadence, count in ((2.0, 6), (4.0, 3)):
            for _ in range(count):
                sink, source = ("speakers", "mic") if len(switched) % 2 else ("headset", "headset_mic")
                switched.append(time.monotonic() - began)
                self.pulse.pactl("set-default-sink", sink)
                self.pulse.pactl("set-default-source", source)
                time.sleep(cadence)
        self.stop(helper)
        mic, system = channels(out)
        end = len(mic) - RATE // 2
        # Clicks of one sign in both tracks: both heard that device then.
        mic_clicks, sys_clicks = signed_onsets(mic[:end]), signed_onsets(system[:end])
        apart = [(s, min((m - s for m, other in mic_clicks if other == sign), key=abs, default=RATE))
                 for s, sign in sys_clicks]
        apart = [(s, d) for s, d in apart if abs(d) < RATE // 4]
        before = sorted(d for s, d in apart if 0.7 * RATE < s < 1.95 * RATE)  # the stamps have settled by then
        self.assertGreaterEqual(len(before), 2, apart)
        baseline = before[len(before) // 2]
        # Per switch, until the next one: audio each track lost (its longest silence while the other sounds, in
        # ms: the tracks switch one after the other, the restarts being serial), how far apart the
        # clicks both heard lay against before the first switch (the most, in ms), and how many there were.
        edges = [int(at * RATE) for at in switched] + [end]
        per_switch = []
        for first, last in zip(edges, edges[1:]):
            shifts = [abs(d - baseline) for s, d in apart if first <= s < last]
            per_switch.append({"mic": longest_silence(mic[first:last], system[first:last]),
                               "system": longest_silence(system[first:last], mic[first:last]),
                               "apart": round(max(shifts, default=RATE) / RATE * 1000, 1), "clicks": len(shifts)})
        # The stretches the helper itself filled with silence in each track for want of input.
        gaps = {track: [float(line.split(" input gap of ")[1].split(" ms")[0])
                        for line in helper.diags(f"{track} input gap of ")] for track in SWITCH_LOST_MS}
        lone = [(track, gap) for track, other in (("mic", "system"), ("system", "mic")) for gap in gaps[track]
                if gap >= LONE_GAP_MS and not any(abs(gap - alike) < GAPS_ALIKE_MS for alike in gaps[other])]
        # Whoever runs this by hand wants the figures, not only a pass.
        print(f"\n{SERVER}: per switch {per_switch}; gaps filled (ms) {gaps}", file=sys.stderr)
        facts = (switched, per_switch, helper.stderr)
        self.assertFalse(helper.diags("config change:"), facts)
        spared, under_ms = LONE_GAPS_SPARED
        self.assertLessEqual(len(lone), spared, facts)
        self.assertLess(max([gap for _, gap in lone], default=0), max(under_ms, LONE_GAP_MS), facts)
        for track, most in SWITCH_LOST_MS.items():
            self.assertLess(max(gaps[track], default=0), max(most, STALL_MS), facts)
        stalled = [figures for figures in per_switch if all(figures[track] >= most
                                                             for track, most in SWITCH_LOST_MS.items())]
        self.assertLessEqual(len(stalled), STALLS, facts)
        for figures in per_switch:
            for track, most in SWITCH_LOST_MS.items():
                self.assertLess(figures[track], STALL_MS if figures in stalled else most, facts)
            # A click each second at least: both tracks hear the same device within a second of the switch.
            self.assertGreaterEqual(figures["clicks"], 2, facts)
        worst = sorted(figures["apart"] for figures in per_switch if figures not in stalled)
        self.assertLess(worst[-1 - SWITCHES_APART], SWITCH_APART_MS, facts)


def signed_onsets(samples, threshold=0.25):
    """Frame indices and signs where the magnitude rises through the threshold (each click's leading edge)."""
    return [(i, 1 if samples[i] > 0 else -1) for i in click_onsets(samples, threshold=threshold)]


def longest_silence(track, other, piece=RATE // 200, below=0.01):
    """The longest run of 5 ms pieces of `track` quieter than `below` while `other` is not, in ms: a player held
    up on a busy machine silences both."""
    run = longest = 0
    for i in range(0, min(len(track), len(other)) - piece, piece):
        run = run + 1 if rms(track[i:i + piece]) < below <= rms(other[i:i + piece]) else 0
        longest = max(longest, run)
    return longest * piece * 1000 // RATE
