"""The helper's life as a host sees it: arguments, stop requests from every
direction, and exactly one terminal line. (The permission answers come from
the sound server: test_pulse_mic_health.py.)"""
import os
import signal
import tempfile
import time
import unittest

from harness import Helper, run, terminal_lines

STOPPED_EARLY = "ERROR stopped_early recording stopped before capture began\n"


class Lifecycle(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def start(self, args=(), **options):
        helper = Helper(["--out", os.path.join(self.dir, "rec.m4a"), *args], **options)
        self.addCleanup(helper.kill)
        return helper

    def test_argument_errors_write_one_line_create_nothing_and_exit_2(self):
        for args, expected in (([], "ERROR args --out <path> is required\n"),
                               (["--out", "x.m4a", "--loud"], "ERROR args unknown argument --loud\n")):
            with self.subTest(args=args):
                self.assertEqual(run(args, cwd=self.dir), (2, expected, ""))
                self.assertEqual(os.listdir(self.dir), [])

    def test_an_output_that_cannot_be_written_fails_before_recording(self):
        for name, args in (("rec.xyz", []), ("rec.wav", []), ("rec", ["--wav"])):
            with self.subTest(name=name):
                # Standard input stays open: its end would be a stop request racing the check.
                status, lines = Helper(["--out", os.path.join(self.dir, name)] + args).finish()
                self.assertEqual(status, 2)
                self.assertEqual(lines[0], "STATUS starting\n")
                self.assertTrue(lines[1].startswith("ERROR start_failed "), lines)
                self.assertEqual(os.listdir(self.dir), [])

    def test_every_way_to_stop_ends_with_one_terminal_line(self):
        # What to wait for, then the requests in turn: text, signals, and pauses in seconds.
        cases = [(None, ()), ("STATUS starting", ("stop\n",)), ("STATUS recording", ("stop",)),
                 ("STATUS recording", ("st", 0.2, "op\n")), ("STATUS recording ", (signal.SIGTERM, signal.SIGTERM)),
                 ("STATUS starting", (signal.SIGTERM, "stop\n", signal.SIGINT)),
                 ("STATUS starting", (0.05, signal.SIGINT, "stop\n", signal.SIGTERM)),
                 ("STATUS starting", (0.3, signal.SIGINT))]
        for wait, requests in cases:
            with self.subTest(wait=wait, requests=requests):
                if wait is None:  # standard input at its end from the start
                    with open(os.devnull, "rb") as empty:
                        status, lines = self.start(stdin=empty).finish()
                else:
                    helper = self.start()
                    line = helper.wait_line(wait)
                    if wait == "STATUS recording ":
                        self.assertRegex(line, r"^STATUS recording \d{13}\n$")
                        self.assertLess(abs(int(line.split()[2]) - time.time() * 1000), 60_000)
                    for request in requests:
                        if isinstance(request, float):
                            time.sleep(request)
                        else:
                            helper.send(request) if isinstance(request, str) else helper.proc.send_signal(request)
                    status, lines = helper.finish()
                self.assertEqual((status, lines[0], terminal_lines(lines), lines[-1]),
                                 (2, "STATUS starting\n", [STOPPED_EARLY], STOPPED_EARLY))
                self.assertEqual(os.listdir(self.dir), [])
