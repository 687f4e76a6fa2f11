"""The live audio: with --live-audio the host, listening on a Unix socket, receives the output's audio as it is
made, in chunks (a 16-byte header: the first frame's index, the frame count, the flags; then 16-bit stereo frames).
The microphone records the speakers' monitor, so both channels hear one click train."""
import os
import socket
import struct
import subprocess
import threading
import time

from harness import RATE, channels, click_onsets
from pulse_server import MONITOR_MIC, PulseCase, one_server

HEADER = struct.Struct("<QII")
DROPPED = 1
# Frames the live audio holds back at the start, at 16 kHz: both tracks' first half second (the later one starts a
# moment after the other), and those captured while it catches up.
SETTLING = 2 * 16000


class LiveReader:
    """The host's end: listens at `path`, accepts the helper, reads chunks and stamps each one's arrival.
    It can stop reading for a while (`pause_after` chunks' worth of seconds, then `pause` seconds) or close."""

    def __init__(self, path, pause_after=None, pause=0.0, close_after=None):
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(1)
        self.chunks = []  # (arrival, index, frames, flags, payload)
        self.pause_after, self.pause, self.close_after = pause_after, pause, close_after
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _exactly(self, connection, size):
        data = connection.recv(size, socket.MSG_WAITALL)
        return data if len(data) == size else None

    def _read(self):
        connection, _ = self.listener.accept()
        began = None
        with connection:
            while (header := self._exactly(connection, HEADER.size)) is not None:
                index, frames, flags = HEADER.unpack(header)
                if (payload := self._exactly(connection, frames * 4)) is None:
                    return
                now = time.monotonic()
                began = began or now
                self.chunks.append((now, index, frames, flags, payload))
                if self.close_after is not None and now - began > self.close_after:
                    return
                if self.pause_after is not None and now - began > self.pause_after:
                    self.pause_after = None
                    time.sleep(self.pause)

    def join(self):
        self.thread.join(timeout=30)
        self.listener.close()

    def received(self):
        return sum(frames for _, _, frames, _, _ in self.chunks)

    def channel(self, which):
        """One channel of the frames received, in [-1, 1], at their indices (nothing where dropped)."""
        samples = {}
        for _, index, frames, _, payload in self.chunks:
            values = struct.unpack(f"<{frames * 2}h", payload)
            for i in range(frames):
                samples[index + i] = values[2 * i + which] / 32768.0
        return [samples.get(i, 0.0) for i in range(max(samples) + 1)] if samples else []

    def latencies(self, first_frame, rate):
        """How long after its capture each chunk's first frame came, the output's first frame captured at
        `first_frame` (time.monotonic())."""
        return [arrival - (first_frame + index / rate) for arrival, index, _, _, _ in self.chunks]


def wav_frames(path):
    """The output's frame count and its 16-bit stereo frames as they are stored."""
    pcm = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "s16le", "-c:a", "pcm_s16le", "-"],
                         capture_output=True, timeout=60, check=True).stdout
    return len(pcm) // 4, pcm


class LiveAudio(PulseCase):
    modules, default_source = [MONITOR_MIC], "mic"

    def setUp(self):
        super().setUp()
        self.socket_path = self.path("live.sock")

    def record(self, name, seconds, reader, args=(), clicks=False, pause_at=None):
        """A recording of `seconds` with the reader listening, and a click train (every 0.5 s) playing from a
        second in when asked. Also when the output's first frame was captured, or a moment before: the stop
        came no earlier than it was sent, and each track says how long before the stop its first frame came."""
        out, helper = self.start(name, ["--wav", "--live-audio", self.socket_path, *args])
        if clicks:
            time.sleep(1.0)
            train = self.sound("clicks.wav", "synth", 0.001, "square", 500, "vol", 0.8, "pad", 0, 0.499, "repeat",
                               int(seconds * 2))
            self.player(["paplay", "--latency-msec=200", "--device=speakers", train])
        began = helper.arrival("STATUS recording ")
        if pause_at:  # a second's pause
            time.sleep(max(0.0, began + pause_at - time.monotonic()))
            helper.request("pause")
            time.sleep(1.0)
            helper.request("resume")
        time.sleep(max(0.0, began + seconds - time.monotonic()))
        stop_sent = time.monotonic()
        self.stop(helper)
        reader.join()
        before = [float(line.split("the stop came ")[1].split()[0]) for line in helper.diags("")
                  if " track holds " in line]
        self.assertEqual(len(before), 2, helper.stderr)
        return out, helper, stop_sent - max(before)

    def test_every_chunk_comes_soon_after_its_audio_was_captured_and_every_click_where_the_output_puts_it(self):
        reader = LiveReader(self.socket_path)
        out, helper, first_frame = self.record("sixteen.wav", 7.0, reader, clicks=True)
        frames, _ = wav_frames(out)
        stderr = helper.stderr
        # Whole, in order, none dropped: each chunk follows the one before.
        self.assertEqual([index for _, index, _, _, _ in reader.chunks],
                         [sum(c[2] for c in reader.chunks[:k]) for k in range(len(reader.chunks))], stderr)
        self.assertFalse([c for c in reader.chunks if c[3] & DROPPED], stderr)
        self.assertAlmostEqual(reader.received() * 3 / frames, 1.0, delta=0.001, msg=stderr)
        live, output = click_onsets(reader.channel(1)), click_onsets(channels(out)[1])
        self.assertGreater(len(live), 5, stderr)
        self.assertEqual(len(live), len(output), (live, output))
        # Each click where the output has it (1 ms).
        self.assertLess(max(abs(3 * l - o) for l, o in zip(live, output)), RATE // 1000, (live, output))
        # The first frames wait for both tracks' heads to be fixed, half a second in, and come at once, within
        # a second; from then on each chunk comes within half a second of its first frame's capture, and all
        # within a second.
        settling = [l for l, c in zip(reader.latencies(first_frame, 16000), reader.chunks) if c[1] < SETTLING]
        latencies = sorted(reader.latencies(first_frame, 16000)[len(settling):])
        p95, worst = latencies[int(0.95 * (len(latencies) - 1))], latencies[-1]
        print(f"\n{self.pulse.name}: first seconds' latency {max(settling):.3f} s; latency p95 {p95:.3f} s, "
              f"max {worst:.3f} s, median {latencies[len(latencies) // 2]:.3f} s; "
              f"frames received x3 / output {reader.received() * 3 / frames:.5f}")
        self.assertLess(max(settling), 1.0, [round(l, 3) for l in settling])
        self.assertLess(p95, 0.5, [round(l, 3) for l in latencies])
        self.assertLess(worst, 1.0, [round(l, 3) for l in latencies])

    @one_server
    def test_a_reader_that_pauses_loses_whole_chunks_said_once_and_the_rest_are_the_wav_outputs_samples(self):
        """The recording is paused too: the pause takes no frames, in the output or the live audio."""
        reader = LiveReader(self.socket_path, pause_after=2.0, pause=5.0)
        out, helper, _ = self.record("paused.wav", 9.0, reader, ["--live-rate", "48000"], clicks=True, pause_at=7.5)
        frames, pcm = wav_frames(out)
        stderr = helper.stderr
        self.assertEqual(reader.chunks[-1][1] + reader.chunks[-1][2], frames, stderr)  # to the output's end
        self.assertGreater(len(click_onsets(reader.channel(1))), 5, stderr)  # no silence that any cut would match
        self.assertGreater(frames / RATE, 7.7, stderr)  # the output is whole (but the pause)
        for _, index, count, _, payload in reader.chunks:
            self.assertEqual(payload, pcm[index * 4: (index + count) * 4], (index, count))
        flagged = [k for k, c in enumerate(reader.chunks) if c[3] & DROPPED]
        self.assertEqual(len(flagged), 1, stderr)
        before, after = reader.chunks[flagged[0] - 1], reader.chunks[flagged[0]]
        lost = after[1] - (before[1] + before[2])
        self.assertGreater(lost, 2 * RATE, stderr)
        said = helper.diags("live audio: the host did not keep up; ")
        self.assertEqual(said, [f"live audio: the host did not keep up; {lost} frames from frame "
                                f"{before[1] + before[2]} dropped"], stderr)
        self.assertEqual(reader.received() + lost, frames, stderr)  # everything else came

    @one_server
    def test_a_reader_that_closes_ends_the_live_audio_and_the_recording_goes_on(self):
        reader = LiveReader(self.socket_path, close_after=1.0)
        out, helper, _ = self.record("closed.wav", 4.0, reader)
        frames, _ = wav_frames(out)
        self.assertGreater(frames / RATE, 3.7, helper.stderr)  # the recording went on
        self.assertEqual(helper.diags("live audio: "),
                         ["live audio: the host closed its socket; the recording goes on without it"], helper.stderr)
