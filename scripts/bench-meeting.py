#!/usr/bin/env python3
"""What the live audio at 16 kHz and the speech timeline add to a recording's CPU: the scripted backend records
`minutes` sped up (SPEED, default 10), once plain and once with --live-audio (a reader that takes every chunk) and
--speech-timeline, both through the stop; the process's CPU of each, and the difference as a share of one core
over the audio's real time.
    bench-meeting.py <sim binary> [minutes]     OUT ("wav" or "m4a", default wav), ARGS (more helper options)"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

SIM = os.path.abspath(sys.argv[1])
MINUTES = float(sys.argv[2]) if len(sys.argv) > 2 else 5
SPEED = float(os.environ.get("SPEED", "10"))
OUT = os.environ.get("OUT", "wav")


def device(ppm):
    return {"signal": "sineClicks", "amplitude": 0.5, "clickEveryMs": 700, "clickWidthMs": 0.5, "ppm": ppm}


def reader(path):
    """Listens at `path` and takes every chunk; returns the bytes read, once the helper closes."""
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(1)
    got = [0]

    def take():
        connection, _ = listener.accept()
        while data := connection.recv(1 << 16):
            got[0] += len(data)
    thread = threading.Thread(target=take, daemon=True)
    thread.start()
    return thread, got


def record(work, extra):
    scenario = f"{work}/scenario.json"
    with open(scenario, "w") as f:
        json.dump({"speed": SPEED, "mic": device(50), "system": device(-50)}, f)
    args = [SIM, "--scenario", scenario, "--out", f"{work}/rec.{OUT}"] + ["--wav"] * (OUT == "wav") + extra
    args += os.environ.get("ARGS", "").split()
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%U %S", "-o", f"{work}/time", *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=open(f"{work}/stderr", "w"))
    lines = []
    threading.Thread(target=lambda: lines.extend(proc.stdout), daemon=True).start()
    while not any(line.startswith(b"STATUS recording") for line in lines):
        if proc.poll() is not None:
            sys.exit(f"the helper ended before recording: {open(f'{work}/stderr').read()}")
        time.sleep(0.01)
    time.sleep(MINUTES * 60 / SPEED)
    proc.stdin.write(b"stop\n")
    proc.stdin.flush()
    proc.wait()
    user, system = (float(v) for v in open(f"{work}/time").read().split())
    return user + system


with tempfile.TemporaryDirectory(prefix="orvane-meeting.") as work:
    plain = record(work, [])
    sock = f"{work}/live.sock"
    thread, got = reader(sock)
    both = record(work, ["--live-audio", sock, "--speech-timeline"])
    thread.join(timeout=10)
    seconds = MINUTES * 60
    print(f"{MINUTES:g} min at speed {SPEED:g}, {OUT}: plain {plain:.2f} s CPU, with the live audio and the speech "
          f"timeline {both:.2f} s CPU ({got[0] / 4 / 16000:.0f} s of live audio read): "
          f"{100 * (both - plain) / seconds:.2f} % of one core over the audio's time")
    print(open(f"{work}/rec.speech.json").read()[:200])
