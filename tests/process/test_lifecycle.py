"""The helper's life as a host sees it: arguments, start, stop requests from
every direction, and exactly one terminal line."""
import os
import re
import signal
import subprocess
import tempfile
import time
import unittest

from harness import Helper, run, terminal_lines


class ArgumentErrors(unittest.TestCase):
    def test_argument_errors_write_one_line_create_nothing_and_exit_2(self):
        cases = [
            ([], "ERROR args --out <path> is required\n"),
            (["--out"], "ERROR args --out <path> is required\n"),
            (["--out", ""], "ERROR args --out <path> is required\n"),
            (["--out", "x.m4a", "--loud", "--mic-only"], "ERROR args unknown argument --loud\n"),
        ]
        for args, expected in cases:
            with self.subTest(args=args), tempfile.TemporaryDirectory() as cwd:
                status, out, err = run(args, cwd=cwd)
                self.assertEqual(status, 2)
                self.assertEqual(out, expected)
                self.assertEqual(err, "")
                self.assertEqual(os.listdir(cwd), [])


class UnwritableOutput(unittest.TestCase):
    def test_an_output_that_cannot_be_written_fails_before_recording(self):
        for name, args in (("rec.xyz", []), ("rec.wav", []), ("rec", ["--wav"])):
            with self.subTest(name=name), tempfile.TemporaryDirectory() as d:
                # Standard input stays open: its end would be a stop request racing the check.
                status, lines = Helper(["--out", os.path.join(d, name)] + args).finish()
                self.assertEqual(status, 2)
                self.assertEqual(lines[0], "STATUS starting\n")
                self.assertTrue(lines[1].startswith("ERROR start_failed "), lines)
                self.assertEqual(os.listdir(d), [])


class StopRequests(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.out = os.path.join(self.dir.name, "rec.m4a")

    def tearDown(self):
        self.dir.cleanup()

    def assert_stopped_early(self, status, lines):
        self.assertEqual(status, 2)
        self.assertEqual(lines[0], "STATUS starting\n")
        self.assertEqual(terminal_lines(lines), ["ERROR stopped_early recording stopped before capture began\n"])
        self.assertEqual(lines[-1], "ERROR stopped_early recording stopped before capture began\n")
        self.assertEqual(os.listdir(self.dir.name), [])

    def test_stdin_at_end_from_the_start_stops_early(self):
        with open(os.devnull, "rb") as empty:
            helper = Helper(["--out", self.out], stdin=empty)
            self.assert_stopped_early(*helper.finish())

    def test_stop_right_after_starting_stops_early(self):
        helper = Helper(["--out", self.out])
        helper.wait_line("STATUS starting")
        helper.send("stop\n")
        self.assert_stopped_early(*helper.finish())

    def test_stop_without_line_feed_and_split_stop_both_work(self):
        for pieces in (["stop"], ["st", "op\n"]):
            with self.subTest(pieces=pieces):
                helper = Helper(["--out", self.out])
                helper.wait_line("STATUS recording")
                for piece in pieces:
                    helper.send(piece)
                    time.sleep(0.2)
                self.assert_stopped_early(*helper.finish())

    def test_two_sigterms_give_one_terminal_line(self):
        helper = Helper(["--out", self.out])
        line = helper.wait_line("STATUS recording ")
        epoch_ms = int(line.split()[2])
        self.assertTrue(re.fullmatch(r"STATUS recording \d{13}\n", line))
        self.assertLess(abs(epoch_ms - time.time() * 1000), 60_000)
        helper.signal(signal.SIGTERM)
        helper.signal(signal.SIGTERM)
        helper.send("stop\n")
        self.assert_stopped_early(*helper.finish())

    def test_sigint_stops_like_sigterm(self):
        helper = Helper(["--out", self.out])
        helper.wait_line("STATUS recording")
        helper.signal(signal.SIGINT)
        self.assert_stopped_early(*helper.finish())

    def test_pause_and_resume_lines_come_once_each_in_order(self):
        helper = Helper(["--out", self.out])
        helper.wait_line("STATUS recording")
        helper.send("pause\npause\n")
        helper.wait_line("STATUS paused")
        helper.send("  resume\t\r\nresume\nPAUSE\n")
        helper.wait_line("STATUS resumed")
        helper.close_stdin()
        status, lines = helper.finish()
        self.assertEqual([l for l in lines if l.startswith(("STATUS paused", "STATUS resumed"))],
                         ["STATUS paused\n", "STATUS resumed\n"])
        self.assert_stopped_early(status, lines)

    def test_many_racing_stop_requests_still_end_with_one_line(self):
        for delay in (0.0, 0.01, 0.05):
            with self.subTest(delay=delay):
                helper = Helper(["--out", self.out])
                helper.wait_line("STATUS starting")
                time.sleep(delay)
                helper.signal(signal.SIGTERM)
                helper.send("stop\n")
                helper.signal(signal.SIGINT)
                status, lines = helper.finish()
                self.assertEqual(len(terminal_lines(lines)), 1, lines)
                self.assertEqual(lines[-1], "ERROR stopped_early recording stopped before capture began\n")


class MicrophonePermission(unittest.TestCase):
    def run_until_terminal(self, scenario, args):
        with tempfile.TemporaryDirectory() as d:
            helper = Helper(["--out", os.path.join(d, "r.m4a")] + args, scenario=scenario)
            try:
                helper.wait_line("STATUS recording", timeout=10)
                helper.send("stop\n")
            except AssertionError:
                pass
            return helper.finish()

    def test_denied_or_refused_microphone_ends_with_mic_permission(self):
        for scenario in ({"microphoneStatus": 2}, {"microphoneStatus": 1},
                         {"microphoneStatus": 0, "microphoneRequestAnswer": False}):
            with self.subTest(scenario=scenario):
                status, lines = self.run_until_terminal(scenario, [])
                self.assertEqual(status, 2)
                self.assertEqual(lines, ["STATUS starting\n", "ERROR mic_permission microphone access not granted\n"])

    def test_never_asked_microphone_waits_for_the_answer(self):
        scenario = {"microphoneStatus": 0, "microphoneRequestAnswer": True, "microphoneRequestDelaySeconds": 0.5}
        status, lines = self.run_until_terminal(scenario, [])
        self.assertTrue(lines[1].startswith("STATUS recording "), lines)

    def test_system_only_never_checks_the_microphone(self):
        status, lines = self.run_until_terminal({"microphoneStatus": 2}, ["--system-only"])
        self.assertTrue(lines[1].startswith("STATUS recording "), lines)


class PermissionMode(unittest.TestCase):
    def test_query_wins_and_needs_no_out(self):
        status, out, err = run(["--request-permission", "microphone", "--check-permissions", "--bogus"],
                               scenario={"microphoneStatus": 0, "screenAllowed": True})
        self.assertEqual((status, out), (0, '{"microphone":"notDetermined","screen":"granted"}\n'))
        status, out, _ = run(["--check-permissions"], scenario={"microphoneStatus": 1, "screenAllowed": False})
        self.assertEqual((status, out), (0, '{"microphone":"denied","screen":"denied"}\n'))

    def test_requests(self):
        status, out, _ = run(["--request-permission", "screen"], scenario={"screenRequestAnswer": True})
        self.assertEqual((status, out), (0, '{"granted":true}\n'))
        status, out, _ = run(["--request-permission", "microphone"],
                             scenario={"microphoneRequestAnswer": False, "microphoneRequestDelaySeconds": 0.2})
        self.assertEqual((status, out), (0, '{"granted":false}\n'))

    def test_unknown_or_missing_kind(self):
        self.assertEqual(run(["--request-permission", "Microphone"])[:2],
                         (2, "ERROR args unknown permission kind Microphone\n"))
        self.assertEqual(run(["--out", "/tmp/x.m4a", "--request-permission"])[:2],
                         (2, "ERROR args unknown permission kind \n"))


if __name__ == "__main__":
    unittest.main()
