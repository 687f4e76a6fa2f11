"""System audio from named applications alone (--system-audio-from): the system track holds what the named
application plays and nothing of another one on the same sink."""
import math
import os
import signal
import time

from harness import RATE, channels, click_onsets, rms, tone_level
from pulse_server import SERVER, PulseCase, mic_modules

MEETING = "Meeting"  # the named application; matched whatever its case
MUSIC = "Jukebox"    # plays on the same sink all along
# When each thing happens, in seconds from "STATUS recording".
STARTS_440 = 5.0
STARTS_660 = 7.0
MOVES = 9.0
STOPS = 11.5
# Players, and our reopening, take this long to be heard; the recording's start is known to about this.
LATE = 0.6


def quarter_levels(samples, start, end, level):
    """`level` of each whole quarter second from `start` to `end` (seconds)."""
    return [level(samples[int(q / 4 * RATE): int((q + 1) / 4 * RATE)])
            for q in range(math.ceil(start * 4), int(end * 4))]


def steady_tone_level(samples, frequency):
    """A steady tone's level above the splash around it: in a quarter second 4 Hz either side is one cycle more or
    less, where a steady tone leaves nothing, while the edges of a dropout (a starved player, a recording opened
    again) splash all three alike, 60 dB under the tone that dropped out."""
    splash = (tone_level(samples, frequency - 4) + tone_level(samples, frequency + 4)) / 2
    return tone_level(samples, frequency) - splash


def median(values):
    return sorted(values)[len(values) // 2]


def median_level(samples, start, end, frequency):
    """The tone's level, the median over the quarter seconds: a player starved on a busy machine drops out now
    and then, on the whole monitor alike."""
    return median(quarter_levels(samples, start, end, lambda quarter: tone_level(quarter, frequency)))


class SystemAudioFromNamedApplications(PulseCase):
    modules = ["module-null-sink sink_name=headset"]

    def setUp(self):
        super().setUp()
        for frequency in (440, 660, 1000):  # made before the run: a player must start at once
            self.sound(f"tone{frequency}.wav", "synth", 30, "sine", frequency, "vol", 0.4)

    def play(self, application, frequency, sink="speakers"):
        """A player that says it is `application`, as a meeting client or a music player would."""
        self.player(["paplay", "--latency-msec=100", f"--device={sink}", f"--client-name={application}",
                     f"--property=application.name={application}", self.path(f"tone{frequency}.wav")])
        # Listed before the helper looks: on PipeWire a player takes a moment to connect.
        self.pulse.wait_until(f"{application}'s stream", lambda: f"tone{frequency}.wav" in self.pulse.pactl(
            "list", "sink-inputs"))

    def sink_input_of(self, frequency):
        """The playback stream playing tone<frequency>.wav, and the index of the sink it plays on."""
        for block in self.pulse.pactl("list", "sink-inputs").split("\n\n"):
            if f"tone{frequency}.wav" in block:
                return block.split("#", 1)[1].split()[0], block.split("Sink: ", 1)[1].split()[0]
        self.fail(f"no playback stream of tone{frequency}.wav")

    def move_to_headset(self, frequency):
        """Moves the tone's stream to the headset: PipeWire's session manager may take seconds to follow a
        move, so there its links are made by hand, as the manager would."""
        if SERVER != "pipewire":
            self.pulse.pactl("move-sink-input", self.sink_input_of(frequency)[0], "headset")
            return
        for channel in ("FL", "FR"):
            self.pulse.tool("pw-link", f"{MEETING}:output_{channel}", f"headset:playback_{channel}")
            self.pulse.tool("pw-link", "-d", f"{MEETING}:output_{channel}", f"speakers:playback_{channel}")
        headset = next(row[0] for row in self.pulse.short_list("sinks") if row[1] == "headset")
        self.pulse.wait_until("the move", lambda: self.sink_input_of(frequency)[1] == headset, timeout=3)

    def record(self, name):
        out, helper = self.start(name, ["--wav", "--system-only", "--system-audio-from", MEETING.lower()])
        began = helper.arrival("STATUS recording ")
        return out, helper, lambda at: time.sleep(max(0.0, began + at - time.monotonic()))

    def test_only_the_named_application_is_recorded_as_its_streams_come_and_move(self):
        self.play(MUSIC, 1000)
        self.first_run(["--wav", "--system-only"], 1.5)  # of the whole monitor
        out, helper, at = self.record("meeting.wav")
        at(STARTS_440)
        self.play(MEETING, 440)
        at(STARTS_660)
        self.play(MEETING.upper(), 660)
        at(MOVES)
        self.move_to_headset(440)
        moved = time.monotonic() - helper.arrival("STATUS recording ")
        stops = max(STOPS, moved + LATE + 1.5)  # four quarters or more after the move is heard
        at(stops)
        stopped = time.monotonic() - helper.arrival("STATUS recording ")  # later than `stops` on a busy machine
        self.stop(helper)
        system = channels(out)[-1]

        def part(start, end):
            return system[int(start * RATE): int(end * RATE)]

        stderr = helper.stderr
        # As long as the recording, to the start's uncertainty.
        self.assertAlmostEqual(len(system) / RATE, stopped, delta=0.3, msg=stderr)
        self.assertLess(rms(part(0.2, STARTS_440 - 0.2)), 1e-4, stderr)  # silence, not the other application
        self.assertEqual(len(helper.diags("system audio from meeting: none of them plays")), 1, stderr)
        self.assertEqual(len(helper.diags("system audio from meeting: records Meeting (playback stream")), 1, stderr)

        for name, (start, end), frequency in (("alone", (STARTS_440 + LATE, STARTS_660), 440),
                                              ("with the second stream", (STARTS_660 + LATE, MOVES), 440),
                                              ("second stream's first second", (STARTS_660 + 0.25, STARTS_660 + 1), 660),
                                              ("moved", (moved + LATE, stops - 0.3), 440)):
            with self.subTest(name):
                named = median_level(system, start, end, frequency)
                self.assertGreater(named, 0.15, stderr)
                # The other application's tone at least 60 dB down.
                other = quarter_levels(system, start, end, lambda quarter: steady_tone_level(quarter, 1000))
                self.assertLess(median(other), named / 1000, (other, stderr))

    def test_nine_streams_of_the_named_application_are_all_recorded(self):
        quiet = {f: self.sound(f"quiet{f}.wav", "synth", 30, "sine", f, "vol", 0.04) for f in (440, 1000)}
        play = lambda frequency: self.player(["paplay", "--latency-msec=100", "--device=speakers",  # noqa: E731
                                              f"--property=application.name={MEETING}", quiet[frequency]])
        for _ in range(8):
            play(440)
        # PipeWire's players come one by one, and so many changes at once would hold the ninth's back.
        self.pulse.wait_until("eight players", lambda: len(self.pulse.short_list("sink-inputs")) == 8)
        out, helper, at = self.record("many.wav")
        at(1.5)
        play(1000)  # the ninth
        at(4.5)
        self.stop(helper)
        system = channels(out)[-1]
        self.assertGreater(tone_level(system[int(3.5 * RATE): int(4.25 * RATE)], 1000), 0.015, helper.stderr)

    def test_a_helper_held_up_loses_nothing_and_a_server_restart_costs_only_the_time_away(self):
        """Held up for 2 s (a starved helper), the helper finds the stretch waiting in the server's buffer: it
        arrives four times the mix's half second late, and is recorded all the same, with no stream opened again.
        Then the server restarts."""
        self.play(MEETING, 440)
        out, helper, at = self.record("held.wav")
        at(2.0)
        helper.proc.send_signal(signal.SIGSTOP)
        time.sleep(2.0)
        helper.proc.send_signal(signal.SIGCONT)
        at(6.0)
        self.assertEqual(helper.diags("system audio from meeting: "), [
            "system audio from meeting: records Meeting (playback stream " + self.sink_input_of(440)[0] + ")"],
            helper.stderr)
        self.pulse.restart(1.0)
        self.play(MEETING, 440)  # the player went with the server
        back = time.monotonic() - helper.arrival("STATUS recording ")
        at(back + 2.5)
        self.stop(helper)
        system = channels(out)[-1]
        stderr = helper.stderr
        self.assertAlmostEqual(len(system) / RATE, back + 2.5, delta=0.3, msg=stderr)
        self.assertEqual(len(helper.diags("system audio from meeting: records Meeting")), 2, stderr)
        # The tone (at 0.14, mixed down from two channels) from before the hold to after it: a player starved on a
        # busy machine may drop out for a tenth of a second or two, on the whole monitor alike.
        silent = [tenth / 10 for tenth in range(15, 55)
                  if rms(system[tenth * RATE // 10: (tenth + 1) * RATE // 10]) < 0.05]
        self.assertLessEqual(len(silent), 2, (silent, stderr))
        for start, end in ((0.3, 1.8), (back + LATE, back + 2.2)):
            with self.subTest(start=start):
                self.assertGreater(median_level(system, start, end, 440), 0.15, stderr)
        # Up to the stop, which the track ends at: on PipeWire the last graph cycle is placed a cycle after its
        # stamps, and the stop must not leave it out (5 ms pieces of the last 50 ms).
        holds = helper.diags("system track holds ")
        self.assertEqual(len(holds), 1, stderr)
        held, stop_came = (float(holds[0].split(part)[1].split()[0]) for part in (" holds ", " stop came "))
        self.assertAlmostEqual(held, stop_came, delta=0.01, msg=stderr)
        tail = [rms(system[-RATE // 200 * (piece + 1): len(system) - RATE // 200 * piece]) for piece in range(10)]
        self.assertGreater(min(tail), 0.05, (tail, stderr))

class TheNamedApplicationOnAnEchoPath(PulseCase):
    """The named application's audio heard by the microphone too, through a loopback from the speakers' monitor
    (a real, wandering delay): its clicks lie where a recording of the whole monitor, made at the same moments,
    puts them, and where they lay before a pause, so that voice processing meets it as it meets the whole monitor
    (test_voice_processing)."""

    modules, default_source = mic_modules("mic", 48000), "mic"

    def setUp(self):
        super().setUp()
        self.pulse.echo_path()

    def play_clicks(self):
        # A 0.5 ms click every 250 ms.
        clicks = self.sound("clicks.wav", "synth", 0.0005, "square", 1000, "vol", 0.8, "pad", 0, 0.2495, "repeat", 119)
        self.player(["paplay", "--latency-msec=100", "--device=speakers", f"--property=application.name={MEETING}",
                     clicks])
        time.sleep(1.0)

    def offsets(self, out, helper):
        """(second, frames) for each click of the system channel: where the microphone heard it, against it."""
        mic, system = channels(out)
        mic_clicks, system_clicks = click_onsets(mic, threshold=0.15), click_onsets(system, threshold=0.15)
        self.assertGreaterEqual(len(system_clicks), 8, helper.stderr)
        return [(s / RATE, min((m - s for m in mic_clicks), key=abs)) for s in system_clicks[1:-1]]

    # On PipeWire a stream's own monitor takes its audio a graph cycle (512 frames on this rig) before the sink's
    # monitor does: the helper places it that much later.
    # That cycle is measured in the stream's first moments, and its first blocks wait for it: the first second
    # lies where the rest does. A pause of the named recording keeps them there.
    def test_clicks_lie_where_the_whole_monitor_puts_them_and_a_pause_keeps_them_in_step(self):
        self.play_clicks()
        whole_out, whole = self.start("whole.wav", ["--wav"])
        named_out, named = self.start("named.wav", ["--wav", "--system-audio-from", MEETING])
        time.sleep(2.5)
        named.request("pause")
        paused = time.monotonic() - named.arrival("STATUS recording ")
        time.sleep(1.0)
        named.request("resume")
        time.sleep(2.5)
        self.stop(whole)
        self.stop(named)
        named_offsets = self.offsets(named_out, named)
        named_median = lambda since, until: median([f for at, f in named_offsets if since < at < until])  # noqa: E731
        # The whole monitor's, and the named application's: all of it, its first second, after the pause.
        offsets = (median([frames for _, frames in self.offsets(whole_out, whole)]), named_median(0, 1e9),
                   named_median(0, 1.0), named_median(paused + 0.5, 1e9))
        for other in offsets[1:]:  # 2 ms
            self.assertLessEqual(abs(other - offsets[0]), RATE // 500, (offsets, named_offsets, named.stderr))
