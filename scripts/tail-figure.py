#!/usr/bin/env python3
"""The stop's tail, measured: each run records both sources for a few seconds on a private server (tones on
the microphone's feed and the speakers) and stops; the helper says, per track, what it holds from its first
frame and the active time from that frame to the stop (the "track holds" diagnostic). Prints every run and
how many had both tracks within 10 ms of that span.
    tail-figure.py <orvane-capture binary> [runs (20)] [seconds (3)]    SERVERS ("pulseaudio pipewire")"""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "process"))
import pulse_server  # noqa: E402  (the test fixture's private servers)
from harness import Helper  # noqa: E402

BIN = os.path.abspath(sys.argv[1])
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 20
SECONDS = float(sys.argv[3]) if len(sys.argv) > 3 else 3.0
WITHIN = 0.010


def keep(server, sink):
    """A silent low-latency player: a null sink and its monitor run at 20 ms instead of rendering 2 s ahead."""
    return subprocess.Popen(["pacat", "--playback", "--latency-msec=20", f"--device={sink}", "/dev/zero"],
                            env=server.child_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def one_run(server, work, index):
    out = os.path.join(work, f"tail{index}.wav")
    helper = Helper(["--out", out, "--wav"], binary=BIN, env=server.child_env())
    try:
        helper.wait_line("STATUS recording ", timeout=20)
        time.sleep(SECONDS)
        helper.send("stop\n")
        status, _ = helper.finish(timeout=60)
    finally:
        helper.kill()
    if status != 0:
        raise RuntimeError(f"run {index}: status {status}: {helper.stderr}")
    for name in ("wav", "drift.json"):
        if os.path.exists(os.path.join(work, f"tail{index}.{name}")):
            os.remove(os.path.join(work, f"tail{index}.{name}"))
    said = {m[1]: (float(m[2]), float(m[3])) for m in (
        re.match(r"(mic|system) track holds ([\d.]+) s from its first frame; the stop came ([\d.]+) s", line)
        for line in helper.diags("")) if m}
    return said["mic"], said["system"]


def measure(name):
    modules = pulse_server.mic_modules("mic", 44100) + ["module-sine sink=mic_feed frequency=1000",
                                                        "module-sine sink=speakers frequency=440"]
    os.environ["ORVANE_SOUND_SERVER"] = name
    server = (pulse_server.PipeWireServer if name == "pipewire" else pulse_server.PulseServer)(modules)
    server.start()
    keepers = [keep(server, sink) for sink in ("speakers", "mic_feed")]
    try:
        time.sleep(2.1)
        server.pactl("set-default-source", "mic")
        work = server.directory
        good = 0
        for index in range(RUNS):
            (mic, mic_span), (system, system_span) = one_run(server, work, index)
            ok = abs(mic - mic_span) <= WITHIN and abs(system - system_span) <= WITHIN
            good += ok
            print(f"{name} run {index + 1:2}: mic {mic:.4f} of {mic_span:.4f} s ({mic - mic_span:+.4f}), system "
                  f"{system:.4f} of {system_span:.4f} s ({system - system_span:+.4f}){'' if ok else '  MISS'}",
                  flush=True)
        print(f"{name}: {good} of {RUNS} runs with both tracks within {WITHIN * 1000:.0f} ms", flush=True)
    finally:
        for keeper in keepers:
            keeper.kill()
            keeper.wait()
        server.stop()


for server_name in os.environ.get("SERVERS", "pulseaudio pipewire").split():
    measure(server_name)
