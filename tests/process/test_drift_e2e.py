"""Drift end to end through the real entry point: a 44.1 kHz microphone 80 ppm fast and system audio 60 ppm slow
share a click train on the host clock; three minutes with two pauses, sped up on the virtual host clock. Both tracks
must be measured and corrected (the offsets measured, 80 and -60 ppm, are what would put the raw tracks some 25 ms
apart), by the finisher while recording, and through to the end of the output their clicks must line up."""
import json
import os
import re
import time

from harness import ScratchCase, channels, click_onsets, frame_count

RATE = 48000
SPEED = 4  # a loaded 2-core machine mostly keeps up at this speed without back-pressure drops
MIC_PPM = 80
SYSTEM_PPM = -60
CLICK_EVERY_MS = 500
# Virtual seconds after "STATUS recording": two pauses of odd lengths, then stop.
SCHEDULE = ((50.0, "pause"), (55.3, "resume"), (110.0, "pause"), (117.7, "resume"), (193.0, "stop"))
ACTIVE_SECONDS = 180.0
TAIL_SECONDS = 3.0


def click_device(ppm):
    return {"signal": "clicks", "amplitude": 0.5, "clickEveryMs": CLICK_EVERY_MS, "clickWidthMs": 0.5,
            "bufferFrames": 4096, "ppm": ppm}


def nearest(values, target):
    return min(values, key=lambda v: abs(v - target))


def unaligned_offset(case, helper):
    """The system track's start after the microphone's in frames where no lead made up for it (under 1 ms)."""
    (line,) = helper.diags("head-align:")
    match = re.fullmatch(r"head-align: (?:system vs mic start|start offset) (-?[0-9.]+) ms"
                         r"(; prepending lead| \(skipped\))", line)
    case.assertIsNotNone(match, line)
    return 0 if match.group(2) == "; prepending lead" else round(float(match.group(1)) / 1000 * RATE)


def assert_clicks_line_up(case, helper, mic, system, first):
    mic_clicks, sys_clicks = click_onsets(mic, first), click_onsets(system, first)
    case.assertGreaterEqual(len(sys_clicks), 4, f"no click train on the system channel at {first}")
    case.assertGreaterEqual(len(mic_clicks), 4, f"no click train on the microphone channel at {first}")
    click = sys_clicks[-2]  # not the very last: the microphone's may lie past the window
    case.assertLess(abs(nearest(mic_clicks, click) - click - unaligned_offset(case, helper)), RATE // 1000,
                    f"mic clicks {mic_clicks[-4:]} vs system clicks {sys_clicks[-4:]}")


class DriftEndToEnd(ScratchCase):
    def test_both_tracks_are_corrected_across_two_pauses_and_their_clicks_line_up_to_the_end(self):
        out, base = self.path("rec.wav"), self.path("rec")
        # The microphone at its own rate: its converter's delay must not bias the measurement.
        mic = dict(click_device(MIC_PPM), format={"sampleRate": 44100, "channelCount": 2, "sampleType": "int16",
                                                  "interleaved": True})
        helper = self.helper(["--out", out, "--wav", "--keep-temps"],
                             scenario={"speed": SPEED, "mic": mic, "system": click_device(SYSTEM_PPM)})
        began = time.monotonic()
        for at, command in SCHEDULE:
            time.sleep(max(0.0, began + at / SPEED - time.monotonic()))
            helper.send(command + "\n")
        status, lines = helper.finish(timeout=180)
        # Dropped buffers would shift a track by a whole buffer: a machine too loaded to keep up says nothing about
        # drift.
        if dropped := [line for line in lines if line.startswith("WARN write_backpressure")]:
            self.skipTest(f"the machine fell behind at speed {SPEED}: {dropped}")
        self.assert_stopped(status, lines, out, helper.stderr)
        self.assertEqual([l for l in lines if l.startswith(("STATUS paused", "STATUS resumed"))],
                         ["STATUS paused\n", "STATUS resumed\n"] * 2)
        # Active time only: the pauses are left out of the output.
        self.assertAlmostEqual(frame_count(out) / RATE, ACTIVE_SECONDS, delta=2.0)

        with open(base + ".drift.json") as f:
            sidecar = json.load(f)
        self.assertTrue(sidecar["mic_compensated"], sidecar)
        self.assertTrue(sidecar["system_compensated"], sidecar)
        self.assertAlmostEqual(sidecar["mic_offset_ppm"], MIC_PPM, delta=1.0)
        self.assertAlmostEqual(sidecar["system_offset_ppm"], SYSTEM_PPM, delta=1.0)
        self.assertAlmostEqual(sidecar["channel_drift_ppm"], MIC_PPM - SYSTEM_PPM, delta=1.0)
        (mic_line,) = helper.diags("drift-correct mic:")
        (sys_line,) = helper.diags("drift-correct system:")
        self.assertRegex(mic_line, r"^drift-correct mic: (79\.[5-9]|80\.[0-4]) ppm \u2192 \d+ frames$")
        self.assertRegex(sys_line, r"^drift-correct system: (59\.[5-9]|60\.[0-4]) ppm \u2192 \d+ frames$")
        # The finisher corrected both while recording: no copy was needed, nothing was left for the stop to redo.
        self.assertEqual(helper.diags("finisher:"), [])
        self.assertFalse(os.path.exists(base + ".mic.corrected.caf") or os.path.exists(base + ".sys.corrected.caf"))

        # The correction pins a track's first and last buffers to the host clock; only a track that kept in step
        # across the pauses lines up in between as well.
        for first in (45 * RATE, 85 * RATE, 140 * RATE, frame_count(out) - int(TAIL_SECONDS * RATE)):
            with self.subTest(at=first / RATE):
                assert_clicks_line_up(self, helper, *channels(out, first, TAIL_SECONDS), first)


class DriftThatChanges(ScratchCase):
    def test_a_clock_that_changes_late_is_made_again_from_where_it_lies_too_far(self):
        """The microphone's clock moves from +80 to +60 ppm at 270 s of five minutes: the final measurement
        (+78) puts the frames the finisher made at +80 over 0.5 ms away from about 250 s on, so the stop makes
        the output again from there, and the clicks of both channels still line up at the end."""
        out, mic = self.path("rec.wav"), dict(click_device(MIC_PPM), ppmChangeAt=270.0, ppmAfter=60)
        helper = self.helper(["--out", out, "--wav"], scenario={"speed": 10, "mic": mic,
                                                                 "system": click_device(SYSTEM_PPM)})
        time.sleep(30.0)
        self.assert_stopped(*helper.stop(), out, helper.stderr)
        (redo,) = helper.diags("finisher:")
        self.assertRegex(redo, r"^finisher: its frames from 2[3-6]\d\.\d s on are made again from the final "
                               r"drift measurement$")
        (mic_line,) = helper.diags("drift-correct mic:")
        self.assertRegex(mic_line, r"^drift-correct mic: 7[6-9]\.\d ppm \u2192 \d+ frames$")
        self.assertAlmostEqual(frame_count(out) / RATE, 300.0, delta=3.0)
        first = frame_count(out) - int(TAIL_SECONDS * RATE)
        assert_clicks_line_up(self, helper, *channels(out, first, TAIL_SECONDS), first)
