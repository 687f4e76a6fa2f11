"""Microphone health with the real binary on a private PulseAudio: the silence
warning and its recovery, a microphone replaced mid-run by one at another
rate, a sound server that dies (and comes back, or not), and the permission
mode's answers."""
import os
import subprocess
import tempfile
import time
import unittest

from audio_check import channels, tone_level
from harness import BIN, Helper, run, terminal_lines
from pulse_server import PulseServer, pulseaudio_available, unreachable_env

DIAG = "[orvane-capture] "
MIC_TONE = 1000
NEW_MIC_TONE = 600


def mic_modules(name, rate):
    """A microphone that is not a monitor: a mono remap of a mono null sink's
    monitor (a stereo sink under master_channel_map=mono would give zeros)."""
    return [f"module-null-sink sink_name={name}_feed rate={rate} channels=1 channel_map=mono",
            f"module-remap-source source_name={name} master={name}_feed.monitor channels=1 channel_map=mono "
            "master_channel_map=mono remix=no"]


def load(pulse, module):
    name, *args = module.split()
    return pulse.load_module(name, *args)


def diag_lines(helper, text):
    return [line for line in helper.stderr.splitlines() if line.startswith(DIAG + text)]


def wait_for_signal(helper, timeout=20.0):
    """Waits for a LEVEL line that is not silence, then for a second of audio behind it."""
    deadline = time.monotonic() + timeout
    while True:
        line = helper.wait_line("LEVEL ", timeout=max(0.1, deadline - time.monotonic()))
        if float(line.split()[1]) > 0.05:
            break
    time.sleep(1.0)


@unittest.skipUnless(pulseaudio_available(), "pulseaudio is not installed")
class MicrophoneHealth(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.players = []
        self.helpers = []

    def tearDown(self):
        for process in self.players + [h.proc for h in self.helpers]:
            if process.poll() is None:
                process.kill()
                process.wait()
        self.dir.cleanup()

    def tone(self, rate, frequency):
        path = os.path.join(self.dir.name, f"tone{rate}-{frequency}.wav")
        subprocess.run(["sox", "-n", "-r", str(rate), "-c", "1", path, "synth", "120", "sine", str(frequency),
                        "vol", "0.5"], check=True, timeout=60)
        return path

    def play(self, pulse, sink, tone):
        """Plays into `sink` at low latency (module-sine would render in 2 s blocks)."""
        player = subprocess.Popen(["paplay", "--latency-msec=20", f"--device={sink}", tone], env=pulse.child_env())
        self.players.append(player)
        # A null sink that never had an input delivers its first audio late: let it settle.
        time.sleep(1.0)
        return player

    def start(self, pulse, name, *args):
        out = os.path.join(self.dir.name, name)
        helper = Helper(["--out", out, "--mic-only"] + list(args), binary=BIN, env=pulse.child_env())
        self.helpers.append(helper)
        helper.wait_line("STATUS recording ", timeout=20)
        return out, helper

    def stop(self, helper):
        helper.send("stop\n")
        status, lines = helper.finish()
        ending = terminal_lines(lines)
        self.assertEqual(len(ending), 1, lines)
        self.assertTrue(ending[0].startswith("STATUS stopped "), (ending, helper.stderr))
        self.assertEqual(status, 0)
        return lines

    def assert_tone_at_end(self, out, frequency, other):
        """Channel 0 carries `frequency`, not `other`, in the second before the last quarter second."""
        left, _ = channels(out)
        end = left[-60000:-12000]
        self.assertEqual(len(end), 48000, "the output is too short")
        self.assertGreater(tone_level(end, frequency), 0.1)
        self.assertLess(tone_level(end, other), 0.02)

    def test_silent_microphone_is_warned_and_its_recovery_reported(self):
        with PulseServer(mic_modules("mic", 44100)) as pulse:
            pulse.pactl("set-default-source", "mic")
            _, helper = self.start(pulse, "silent.m4a")
            began = time.monotonic()
            helper.wait_line("WARN mic_silent", timeout=20)
            self.assertGreater(time.monotonic() - began, 4.5, "the first check comes 5 s after the start")
            helper.wait_stderr(DIAG + "mic produced")
            self.assertEqual(diag_lines(helper, "mic produced"),
                             [DIAG + "mic produced only digital silence in the check window "
                                     "(device lost to a call app's voice processing?)"])
            self.play(pulse, "mic_feed", self.tone(44100, MIC_TONE))
            helper.wait_line("STATUS mic_recovered", timeout=20)
            lines = self.stop(helper)
        self.assertEqual(lines.count("WARN mic_silent\n"), 1)
        self.assertEqual(lines.count("STATUS mic_recovered\n"), 1)
        flowing = diag_lines(helper, "mic signal flowing again (")
        self.assertEqual(len(flowing), 1, helper.stderr)
        self.assertRegex(flowing[0], r"\(\d+ non-silent frames\)$")

    def test_replaced_microphone_at_another_rate_keeps_recording(self):
        with PulseServer(mic_modules("mic", 44100)) as pulse:
            pulse.pactl("set-default-source", "mic")
            self.play(pulse, "mic_feed", self.tone(44100, MIC_TONE))
            out, helper = self.start(pulse, "switch.wav", "--wav")
            wait_for_signal(helper)
            # The new microphone's sink is playing before its source exists.
            load(pulse, mic_modules("mic2", 16000)[0])
            self.play(pulse, "mic2_feed", self.tone(16000, NEW_MIC_TONE))
            remap = next(int(row[0]) for row in pulse.short_list("modules")
                         if row[1] == "module-remap-source" and "source_name=mic " in row[2] + " ")
            pulse.unload_module(remap)
            helper.wait_stderr(DIAG + "engine configuration change (running=", timeout=20)
            load(pulse, mic_modules("mic2", 16000)[1])
            pulse.pactl("set-default-source", "mic2")
            helper.wait_stderr(DIAG + "engine restarted, running=true", timeout=20)
            time.sleep(3.0)
            self.stop(helper)
        self.assertNotIn("WARN mic_silent\n", helper.lines)
        self.assert_tone_at_end(out, NEW_MIC_TONE, MIC_TONE)
        left, _ = channels(out)
        self.assertGreater(tone_level(left[:48000], MIC_TONE), 0.1, "the first microphone is at the start")

    def test_restarted_server_is_reconnected(self):
        with PulseServer(mic_modules("mic", 44100)) as pulse:
            pulse.pactl("set-default-source", "mic")
            tone = self.tone(44100, MIC_TONE)
            self.play(pulse, "mic_feed", tone)
            out, helper = self.start(pulse, "restart.wav", "--wav")
            wait_for_signal(helper)
            pulse.restart()  # same socket; its modules are loaded again
            pulse.pactl("set-default-source", "mic")
            self.play(pulse, "mic_feed", tone)
            helper.wait_stderr(DIAG + "engine restarted, running=true", timeout=20)
            time.sleep(3.0)
            self.stop(helper)
        changes = diag_lines(helper, "engine configuration change")
        self.assertEqual(changes[0], DIAG + "engine configuration change (running=false); restarting")
        self.assert_tone_at_end(out, MIC_TONE, NEW_MIC_TONE)

    def test_server_gone_for_good_is_warned_and_stop_still_ends_the_run(self):
        with PulseServer(mic_modules("mic", 44100)) as pulse:
            pulse.pactl("set-default-source", "mic")
            self.play(pulse, "mic_feed", self.tone(44100, MIC_TONE))
            _, helper = self.start(pulse, "gone.wav", "--wav")
            wait_for_signal(helper)
            pulse.kill()
            helper.wait_line("WARN mic_silent", timeout=20)
            self.stop(helper)
        self.assertEqual(len(diag_lines(helper, "engine restart failed: the sound server")), 1, helper.stderr)
        self.assertEqual(diag_lines(helper, "mic produced"),
                         [DIAG + "mic produced no frames in the check window (Mic Mode / Voice Isolation?)"])


@unittest.skipUnless(pulseaudio_available(), "pulseaudio is not installed")
class PermissionMode(unittest.TestCase):
    def answers(self, env):
        return [run(args, binary=BIN, env=env)[:2] for args in (["--check-permissions"],
                                                                 ["--request-permission", "microphone"],
                                                                 ["--request-permission", "screen"])]

    def test_server_with_a_microphone_grants_both(self):
        with PulseServer(mic_modules("mic", 44100)) as pulse:
            self.assertEqual(self.answers(pulse.child_env()),
                             [(0, '{"microphone":"granted","screen":"granted"}\n'),
                              (0, '{"granted":true}\n'), (0, '{"granted":true}\n')])

    def test_server_with_only_monitors_denies_the_microphone(self):
        with PulseServer() as pulse:
            self.assertEqual(self.answers(pulse.child_env()),
                             [(0, '{"microphone":"denied","screen":"granted"}\n'),
                              (0, '{"granted":false}\n'), (0, '{"granted":true}\n')])

    def test_no_server_is_unknown_and_denied(self):
        self.assertEqual(self.answers(unreachable_env()),
                         [(0, '{"microphone":"unknown","screen":"denied"}\n'),
                          (0, '{"granted":false}\n'), (0, '{"granted":false}\n')])

    def test_missing_kind_ends_with_a_space(self):
        status, out, _ = run(["--request-permission"], binary=BIN, env=unreachable_env())
        self.assertEqual((status, out), (2, "ERROR args unknown permission kind \n"))


if __name__ == "__main__":
    unittest.main()
