"""Microphone health with the real binary on a private PulseAudio: the silence
warning and its recovery, a microphone replaced mid-run by one at another
rate, a sound server that dies (and comes back, or not), and the permission
mode's answers."""
import time

from audio_check import channels, tone_level
from harness import BIN, run
from pulse_server import PulseCase, PulseServer, mic_modules, unreachable_env

MIC_TONE = 1000
NEW_MIC_TONE = 600
NO_FRAMES = "mic produced no frames in the check window (Mic Mode / Voice Isolation?)"
DIGITAL_SILENCE = "mic produced only digital silence in the check window (device lost to a call app's voice processing?)"


class MicrophoneHealth(PulseCase):
    modules = mic_modules("mic", 44100)

    def setUp(self):
        super().setUp()
        self.pulse.pactl("set-default-source", "mic")

    def start_with_signal(self, name):
        """Records with the tone playing: waits for a LEVEL line that is not silence, and a second more."""
        self.play("mic_feed", 44100, MIC_TONE)
        out, helper = self.start(name, ["--mic-only", "--wav"])
        while float(helper.wait_line("LEVEL ", timeout=20).split()[1]) <= 0.05:
            pass
        time.sleep(1.0)
        return out, helper

    def assert_tone_at_end(self, out, frequency, other):
        """Channel 0 carries `frequency`, not `other`, in the second before the last quarter second."""
        end = channels(out)[0][-60000:-12000]
        self.assertEqual(len(end), 48000, "the output is too short")
        self.assertGreater(tone_level(end, frequency), 0.1)
        self.assertLess(tone_level(end, other), 0.02)

    def test_silent_microphone_is_warned_and_its_recovery_reported(self):
        _, helper = self.start("silent.m4a", ["--mic-only"])
        began = time.monotonic()
        helper.wait_line("WARN mic_silent", timeout=20)
        self.assertGreater(time.monotonic() - began, 4.5, "the first check comes 5 s after the start")
        helper.wait_diag("mic produced")
        self.assertEqual(helper.diags("mic produced"), [DIGITAL_SILENCE])
        self.play("mic_feed", 44100, MIC_TONE)
        helper.wait_line("STATUS mic_recovered", timeout=20)
        lines = self.stop(helper)
        self.assertEqual(lines.count("WARN mic_silent\n"), 1)
        self.assertEqual(lines.count("STATUS mic_recovered\n"), 1)
        (flowing,) = helper.diags("mic signal flowing again (")
        self.assertRegex(flowing, r"\(\d+ non-silent frames\)$")

    def test_replaced_microphone_at_another_rate_keeps_recording(self):
        out, helper = self.start_with_signal("switch.wav")
        # The new microphone's sink is playing before its source exists.
        feed, source = mic_modules("mic2", 16000)
        self.pulse.load_module(feed)
        self.play("mic2_feed", 16000, NEW_MIC_TONE)
        self.pulse.pactl("unload-module", str(self.pulse.module_index("module-remap-source", "source_name=mic")))
        helper.wait_diag("engine configuration change (running=", timeout=20)
        self.pulse.load_module(source)
        self.pulse.pactl("set-default-source", "mic2")
        helper.wait_diag("engine restarted, running=true", timeout=20)
        time.sleep(3.0)
        self.assertNotIn("WARN mic_silent\n", self.stop(helper))
        self.assert_tone_at_end(out, NEW_MIC_TONE, MIC_TONE)
        self.assertGreater(tone_level(channels(out)[0][:48000], MIC_TONE), 0.1, "the first microphone is at the start")

    def test_killed_server_is_warned_then_reconnected_when_it_returns(self):
        out, helper = self.start_with_signal("restart.wav")
        self.pulse.kill()
        helper.wait_line("WARN mic_silent", timeout=20)
        helper.wait_diag("mic produced", timeout=5)  # standard error is read apart from standard output
        self.assertEqual(helper.diags("engine configuration change")[0],
                         "engine configuration change (running=false); restarting")
        self.assertEqual(len(helper.diags("engine restart failed: the sound server")), 1, helper.stderr)
        self.assertEqual(helper.diags("mic produced"), [NO_FRAMES])
        self.pulse.start()  # same socket; its modules are loaded again
        self.pulse.pactl("set-default-source", "mic")
        self.play("mic_feed", 44100, MIC_TONE)
        helper.wait_diag("engine restarted, running=true", timeout=20)
        helper.wait_line("STATUS mic_recovered", timeout=20)
        time.sleep(3.0)
        self.stop(helper)
        self.assert_tone_at_end(out, MIC_TONE, NEW_MIC_TONE)

    def test_server_gone_for_good_still_lets_stop_end_the_run(self):
        _, helper = self.start_with_signal("gone.wav")
        self.pulse.kill()
        helper.wait_diag("engine restart failed: the sound server", timeout=20)
        self.stop(helper)


class PermissionMode(PulseCase):
    def answers(self, env):
        return [run(args, binary=BIN, env=env)[:2] for args in (["--check-permissions"],
                                                                 ["--request-permission", "microphone"],
                                                                 ["--request-permission", "screen"])]

    def test_answers_with_a_microphone_with_only_monitors_and_with_no_server(self):
        with PulseServer(mic_modules("mic", 44100)) as with_mic:
            self.assertEqual(self.answers(with_mic.child_env()),
                             [(0, '{"microphone":"granted","screen":"granted"}\n'),
                              (0, '{"granted":true}\n'), (0, '{"granted":true}\n')])
        self.assertEqual(self.answers(self.env),
                         [(0, '{"microphone":"denied","screen":"granted"}\n'),
                          (0, '{"granted":false}\n'), (0, '{"granted":true}\n')])
        self.assertEqual(self.answers(unreachable_env()),
                         [(0, '{"microphone":"unknown","screen":"denied"}\n'),
                          (0, '{"granted":false}\n'), (0, '{"granted":false}\n')])
