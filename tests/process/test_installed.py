"""The helper as a user gets it: the Debian package that cpack builds (from the install rules `cmake --install`
follows), unpacked into a scratch root. It records from a working directory of its own with the writer module it
was installed with; the package takes its version from the project and its dependencies from what its binaries
link; its manual page renders cleanly. And the example host (examples/terminal_host.py), driven through a
pseudo-terminal: its keys pause, resume and stop the recording, its bar shows the microphone's level, and the
duration it prints is the output's."""
import glob
import os
import re
import subprocess
import sys
import tempfile
import time

from harness import BIN, Terminal, probe
from pulse_server import PulseCase, mic_modules

BUILD_DIR = os.environ.get("ORVANE_BUILD_DIR", "")
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples",
                       "terminal_host.py")
# Against the wall clock a recording is exact but for a capture buffer (85 ms) now and then, at its start or
# its stop. An idle null sink that rewinds would lose two seconds here: the rig loads them without rewinds.
LENGTH_TOLERANCE = 0.15


def project_version():
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as cache:
        return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", cache.read(), re.M).group(1)


def needed_packages(binary):
    """The Debian packages that hold the libraries `binary` links directly (found where it finds them)."""
    dynamic = subprocess.run(["readelf", "-d", binary], capture_output=True, text=True, check=True).stdout
    mapped = subprocess.run(["ldd", binary], capture_output=True, text=True, check=True).stdout
    # "name => /path (address)", or "/path (address)" for the dynamic loader itself.
    resolved = {os.path.basename(path): path for path in re.findall(r"(/\S+) \(0x", mapped)}
    packages = set()
    for library in re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic):
        # By directory and name: /lib and /usr/lib are one on Debian 12, and dpkg may know either.
        pattern = "*/" + os.path.join(os.path.basename(os.path.dirname(resolved[library])), library)
        owners = subprocess.run(["dpkg", "-S", pattern], capture_output=True, text=True, check=True).stdout
        packages |= {name.split(":")[0] for line in owners.splitlines() for name in line.split(": ")[0].split(", ")}
    return packages


class Installed(PulseCase):
    modules, default_source = mic_modules("mic", 48000), "mic"  # idle, as are the speakers, unless a tone plays

    def record(self, prefix, name, *args):
        """Two seconds by prefix/bin/orvane-capture, run from a directory of its own with a relative --out;
        checks the output and returns the writer modules the process loaded."""
        elsewhere = tempfile.mkdtemp(dir=self.dir)
        # The dynamic loader names every file it maps, the module included.
        helper = self.helper(["--out", name, *args], binary=os.path.join(prefix, "bin", "orvane-capture"),
                             env=dict(self.env, LD_DEBUG="files"), cwd=elsewhere)
        time.sleep(2.0)
        recorded = time.monotonic() - helper.arrival("STATUS recording ")
        out = os.path.join(elsewhere, name)
        self.assert_stopped(*helper.stop(), out, helper.stderr[-2000:])
        info = probe(out)
        self.assertEqual((info["codec"], info["channels"]), ("pcm_s16le" if "--wav" in args else "aac", 2))
        self.assertAlmostEqual(info["duration"], recorded, delta=LENGTH_TOLERANCE)
        return set(re.findall(r"file=(\S*orvane_ffmpeg\.so)", helper.stderr))

    def test_the_debian_package_depends_on_what_it_links_records_aac_and_wav_and_its_manual_page_renders(self):
        packages = self.path("packages")
        subprocess.run(["cpack", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", packages],
                       check=True, capture_output=True)
        [deb] = glob.glob(os.path.join(packages, "*.deb"))
        fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version", "Depends"], capture_output=True,
                                text=True, check=True).stdout
        self.assertIn("Package: orvane-capture\n", fields)
        self.assertIn(f"Version: {project_version()}\n", fields)
        depends = set(re.findall(r"([a-z0-9][a-z0-9.+-]+)(?: \([^)]*\))?(?:, |\n|$)",
                                 fields.split("Depends: ")[1]))

        root = self.path("root")
        subprocess.run(["dpkg", "-x", deb, root], check=True)
        prefix = os.path.join(root, "usr")
        module = os.path.join(prefix, "lib", "orvane-capture", "orvane_ffmpeg.so")
        for binary in (os.path.join(prefix, "bin", "orvane-capture"), module):
            self.assertLessEqual(needed_packages(binary), depends, binary)
        self.assertEqual(self.record(prefix, "take.m4a"), {module})
        self.assertEqual(self.record(prefix, "take.wav", "--wav"), set())

        page = os.path.join(prefix, "share", "man", "man1", "orvane-capture.1")
        rendered = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True,
                                  env=dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80"))
        self.assertEqual((rendered.returncode, rendered.stderr), (0, ""))
        self.assertIn("EXIT STATUS", rendered.stdout)

    def test_the_example_hosts_keys_pause_resume_and_stop_and_the_duration_it_prints_is_the_active_time(self):
        self.play("mic_feed", 48000, 1000)  # a sine of amplitude 0.5: RMS 0.354, -9.0 dB
        out = self.path("keys.m4a")
        terminal = Terminal([sys.executable, EXAMPLE, "--helper", BIN, out], self.env)
        self.addCleanup(terminal.close)
        terminal.expect(r"STATUS recording \d+")
        began = time.monotonic()
        level = float(terminal.expect(r"mic \[#+\.*\]\s+(-?\d+\.\d) dB").group(1))
        self.assertAlmostEqual(level, -9.0, delta=0.5)
        time.sleep(max(0.0, began + 1.0 - time.monotonic()))
        paused = terminal.press("p")
        terminal.expect("STATUS paused")
        time.sleep(1.5)
        resumed = terminal.press(" ")
        terminal.expect("STATUS resumed")
        time.sleep(1.0)
        stopped = terminal.press("s")
        terminal.expect(re.escape(f"STATUS stopped {out}"))
        printed = float(terminal.expect(r"duration: (\d+\.\d+) s").group(1))
        self.assertEqual(terminal.proc.wait(timeout=10), 0)
        self.assertAlmostEqual(printed, probe(out)["duration"], delta=0.002)
        # Key to helper and stop to file each cost a few ms, and a capture buffer (85 ms) now and then.
        self.assertAlmostEqual(printed, (stopped - began) - (resumed - paused), delta=0.25)
