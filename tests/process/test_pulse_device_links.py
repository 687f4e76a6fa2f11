"""The system audio records the sink the rules choose, and says which, on a server that remembers: several runs on
one server, the default sink set before each start and switched in the middle. PipeWire's session manager may link
a stream of ours where one of its name went before, whatever it asked for: there a run's first stream, or the one
after the switch, is linked by hand to the other sink's monitor once it runs, as the session manager would (one
relink a run: it costs a reopening or two, and the recorder allows four in ten seconds). Every part of every run
must hold the tone of the sink that was the default at its moment, and the diagnostic must name that sink."""
import os
import re
import signal
import subprocess
import time
import unittest

from harness import RATE, channels, rms, tone_level
from pulse_server import SERVER, PulseCase

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
        for sink, frequency in TONES.items():
            self.play_pinned(sink, frequency)
        time.sleep(2.1)  # what the idle sinks rendered ahead before the players' low latency holds

    def play_pinned(self, sink, frequency):
        """A tone that stays on its sink whatever the default: both servers would otherwise move a player off a
        sink that stops being the default (PulseAudio), or let one that sits on the default follow it from then
        on (PipeWire)."""
        if SERVER != "pipewire":
            self.pulse.load_module(f"module-sine-source source_name=tone{frequency} rate={RATE} "
                                   f"frequency={frequency}")
            # The source renders in blocks of its own: a loopback with room to spare keeps the tone whole on a
            # loaded machine (at 20 ms it underran there now and then, and a part held no tone).
            self.pulse.load_module(f"module-loopback source=tone{frequency} sink={sink} latency_msec=200 "
                                   "sink_dont_move=true source_dont_move=true")
            return
        tone = self.sound(f"tone-{frequency}.wav", "synth", 600, "sine", frequency, "vol", 0.5)
        self.player(["paplay", "--latency-msec=20", f"--device={sink}", tone],
                    env=dict(self.env, PULSE_PROP="node.dont-reconnect=true"))

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
                subprocess.run(["pw-link", *link], env=self.pulse.server_env(), capture_output=True, check=True,
                               timeout=10)
        finally:
            helper.proc.send_signal(signal.SIGCONT)

    def port_ids(self):
        """Every port's id by its "node:port" name."""
        listed = subprocess.run(["pw-link", "-I", "-i", "-o"], env=self.pulse.server_env(), capture_output=True,
                                text=True, check=True, timeout=10).stdout
        return {name: number for number, name in (line.split() for line in listed.splitlines() if line.strip())}

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
            tracks = [name for name in os.listdir(self.dir.name) if name.endswith(".caf")]
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
