"""The helper built with ThreadSanitizer (build-tsan) or with AddressSanitizer and UndefinedBehaviorSanitizer
(build-asan), driven through every hop between its threads and through the sound server's code on a private
PulseAudio. Any sanitizer report fails it. CTest has it only in a sanitizer build (tests/CMakeLists.txt)."""
import glob
import os
import signal
import subprocess
import time

from harness import BIN, probe, run
from pulse_server import PulseCase, mic_modules


# Every report goes to <name>.<pid> in the reports folder; exitcode also fails a run that reports.
# ThreadSanitizer: the process ends without taking its queues down, and an idle queue's worker that left is joined
# only by the next task: a finished, unjoined thread at the exit is no race.
OPTIONS = {"libtsan": {"TSAN_OPTIONS": {"log_path": "tsan", "exitcode": 66, "second_deadlock_stack": 1,
                                        "report_thread_leaks": 0}},
           "libasan": {"ASAN_OPTIONS": {"log_path": "asan", "exitcode": 66, "detect_leaks": 0},
                       "UBSAN_OPTIONS": {"log_path": "ubsan", "print_stacktrace": 1, "halt_on_error": 1}}}


class SanitizerRun(PulseCase):
    modules = [*mic_modules("mic", 48000), *mic_modules("mic2", 44100), "module-null-sink sink_name=headset",
               "module-sine sink=mic_feed frequency=1000", "module-sine sink=speakers frequency=440"]
    default_source = "mic"

    def setUp(self):
        linked = subprocess.run(["ldd", BIN], capture_output=True, text=True, timeout=30).stdout
        runtime = next((name for name in OPTIONS if name in linked), None)
        self.assertIsNotNone(runtime, f"{BIN} is not built with a sanitizer")
        super().setUp()
        self.reports = self.path("reports")
        os.mkdir(self.reports)
        for variable, options in OPTIONS[runtime].items():
            options = dict(options, log_path=os.path.join(self.reports, options["log_path"]))
            self.env[variable] = " ".join(f"{key}={value}" for key, value in options.items())

    def assert_no_reports(self):
        found = sorted(glob.glob(os.path.join(self.reports, "*")))
        texts = []
        for path in found:
            with open(path, errors="replace") as report:
                texts.append(report.read())
        self.assertEqual(texts, [], "the sanitizer reported:\n" + "\n".join(texts))

    def test_a_run_through_pause_device_switches_and_a_server_restart_and_a_recovery_reports_nothing(self):
        out, helper = self.start("run.m4a")
        time.sleep(1.0)
        helper.request("pause")
        time.sleep(0.3)
        helper.request("resume")
        self.pulse.pactl("set-default-source", "mic2")
        self.pulse.pactl("set-default-sink", "headset")
        helper.wait_diag("mic records mic2")
        helper.wait_diag("system audio follows default sink headset")
        self.pulse.restart(away=0.5)
        helper.wait_diag("reconnected to the sound server", timeout=20)
        time.sleep(1.0)
        status, lines = helper.stop()
        self.assert_no_reports()
        self.assert_stopped(status, lines, out, helper.stderr)
        self.assertGreater(probe(out)["duration"], 2.0)

        killed, helper = self.start("killed.m4a")
        time.sleep(1.5)
        helper.proc.send_signal(signal.SIGKILL)
        helper.finish()
        status, stdout, stderr = run(["--out", killed, "--finalize-temps"], binary=BIN, env=self.env, timeout=120)
        self.assert_no_reports()
        self.assertEqual((status, stdout), (0, f"STATUS stopped {killed}\n"), stderr)
        self.assertGreater(probe(killed)["duration"], 1.0)
