"""The helper's life as a host sees it: arguments, start, stop requests from
every direction, and exactly one terminal line."""
import os
import signal
import tempfile
import time
import unittest

from harness import Helper, run, terminal_lines

STOPPED_EARLY = "ERROR stopped_early recording stopped before capture began\n"


class ArgumentErrors(unittest.TestCase):
    def test_argument_errors_write_one_line_create_nothing_and_exit_2(self):
        cases = [([], "ERROR args --out <path> is required\n"),
                 (["--out"], "ERROR args --out <path> is required\n"),
                 (["--out", ""], "ERROR args --out <path> is required\n"),
                 (["--out", "x.m4a", "--loud", "--mic-only"], "ERROR args unknown argument --loud\n")]
        for args, expected in cases:
            with self.subTest(args=args), tempfile.TemporaryDirectory() as cwd:
                self.assertEqual(run(args, cwd=cwd), (2, expected, ""))
                self.assertEqual(os.listdir(cwd), [])

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
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def start(self, **options):
        helper = Helper(["--out", os.path.join(self.dir, "rec.m4a")], **options)
        self.addCleanup(helper.kill)
        return helper

    def assert_stopped_early(self, status, lines):
        self.assertEqual(status, 2)
        self.assertEqual(lines[0], "STATUS starting\n")
        self.assertEqual(terminal_lines(lines), [STOPPED_EARLY])
        self.assertEqual(lines[-1], STOPPED_EARLY)
        self.assertEqual(os.listdir(self.dir), [])

    def test_stdin_at_end_from_the_start_stops_early(self):
        with open(os.devnull, "rb") as empty:
            self.assert_stopped_early(*self.start(stdin=empty).finish())

    def test_stop_right_after_starting_stops_early(self):
        helper = self.start()
        helper.wait_line("STATUS starting")
        self.assert_stopped_early(*helper.stop())

    def test_stop_without_line_feed_and_split_stop_both_work(self):
        for pieces in (["stop"], ["st", "op\n"]):
            with self.subTest(pieces=pieces):
                helper = self.start()
                helper.wait_line("STATUS recording")
                for piece in pieces:
                    helper.send(piece)
                    time.sleep(0.2)
                self.assert_stopped_early(*helper.finish())

    def test_two_sigterms_give_one_terminal_line(self):
        helper = self.start()
        line = helper.wait_line("STATUS recording ")
        self.assertRegex(line, r"^STATUS recording \d{13}\n$")
        self.assertLess(abs(int(line.split()[2]) - time.time() * 1000), 60_000)
        helper.signal(signal.SIGTERM)
        helper.signal(signal.SIGTERM)
        self.assert_stopped_early(*helper.stop())

    def test_racing_stop_requests_or_sigint_alone_end_with_one_line(self):
        for delay, requests in ((0.0, (signal.SIGTERM, "stop\n", signal.SIGINT)),
                                (0.05, (signal.SIGINT, "stop\n", signal.SIGTERM)), (0.3, (signal.SIGINT,))):
            with self.subTest(delay=delay, requests=requests):
                helper = self.start()
                helper.wait_line("STATUS starting")
                time.sleep(delay)
                for request in requests:
                    helper.send(request) if isinstance(request, str) else helper.signal(request)
                self.assert_stopped_early(*helper.finish())


class Permissions(unittest.TestCase):
    def test_the_microphone_step_of_the_start(self):
        denied = "ERROR mic_permission microphone access not granted\n"
        cases = [({"microphoneStatus": 2}, [], denied), ({"microphoneStatus": 1}, [], denied),
                 ({"microphoneStatus": 0, "microphoneRequestAnswer": False}, [], denied),
                 ({"microphoneStatus": 0, "microphoneRequestDelaySeconds": 0.5}, [], "STATUS recording "),
                 ({"microphoneStatus": 2}, ["--system-only"], "STATUS recording ")]  # never asks
        for scenario, args, expected in cases:
            with self.subTest(scenario=scenario, args=args), tempfile.TemporaryDirectory() as d:
                helper = Helper(["--out", os.path.join(d, "r.m4a")] + args, scenario=scenario)
                self.addCleanup(helper.kill)
                helper.wait_line("STATUS starting")
                self.assertTrue(helper.wait_line("", timeout=10).startswith(expected), helper.lines)
                if expected == denied:
                    self.assertEqual(helper.finish(), (2, ["STATUS starting\n", denied]))
                else:
                    helper.stop()

    def test_permission_mode(self):
        cases = [  # the query wins over a request and needs no output path
            (["--request-permission", "microphone", "--check-permissions", "--bogus"],
             {"microphoneStatus": 0, "screenAllowed": True}, 0, '{"microphone":"notDetermined","screen":"granted"}\n'),
            (["--check-permissions"], {"microphoneStatus": 1, "screenAllowed": False},
             0, '{"microphone":"denied","screen":"denied"}\n'),
            (["--request-permission", "screen"], {"screenRequestAnswer": True}, 0, '{"granted":true}\n'),
            (["--request-permission", "microphone"],
             {"microphoneRequestAnswer": False, "microphoneRequestDelaySeconds": 0.2}, 0, '{"granted":false}\n'),
            (["--request-permission", "Microphone"], {}, 2, "ERROR args unknown permission kind Microphone\n"),
            (["--out", "/tmp/x.m4a", "--request-permission"], {}, 2, "ERROR args unknown permission kind \n")]
        for args, scenario, status, out in cases:
            with self.subTest(args=args):
                self.assertEqual(run(args, scenario=scenario)[:2], (status, out))
