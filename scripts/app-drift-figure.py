#!/usr/bin/env python3
"""The named applications' track against drift: a null sink's clock runs some ppm off the host's (at 48 kHz a
few ppm fast, more on a loaded machine; at 50 kHz it is exact). A remapped monitor of it is the microphone, and an
application plays a click every 250 ms there. Two helpers record at once, the whole monitor and
--system-audio-from that application; for each the sidecar's offsets and where the system channel's clicks lie
against the microphone's (frames, median and range) in the first and the last 10 s. The whole monitor's track is
measured and corrected at the stop; the named one is kept on the host clock as it is mixed.
    app-drift-figure.py <orvane-capture binary> [seconds (130)]    SERVERS ("pulseaudio pipewire")"""
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "process"))
import pulse_server  # noqa: E402  (the test fixture's private servers)
from harness import RATE, Helper, channels, click_onsets  # noqa: E402

BIN = os.path.abspath(sys.argv[1])
SECONDS = float(sys.argv[2]) if len(sys.argv) > 2 else 130.0
APPLICATION = "Meeting"


def offsets(out, since, until):
    mic, system = channels(out)
    mic_clicks = click_onsets(mic, threshold=0.15)
    found = sorted(min((m - s for m in mic_clicks), key=abs) for s in click_onsets(system, threshold=0.15)[1:-1]
                   if since <= s / RATE < until)
    return f"{found[len(found) // 2]} [{found[0]}, {found[-1]}]" if found else "none"


def ppm(offset):
    return "not measured (under 120 s)" if offset is None else f"{offset:+.1f} ppm"


def measure(name):
    os.environ["ORVANE_SOUND_SERVER"] = name
    server = (pulse_server.PipeWireServer if name == "pipewire" else pulse_server.PulseServer)(["module-remap-source source_name=mic master=speakers.monitor rate=48000 "
        "channels=1 channel_map=mono master_channel_map=front-left remix=no"])
    server.start()
    player = None
    helpers = []
    try:
        server.pactl("set-default-source", "mic")
        clicks = os.path.join(server.directory, "clicks.wav")
        subprocess.run(["sox", "-n", "-r", str(RATE), "-c", "1", clicks, "synth", "0.0005", "square", "1000",
                        "vol", "0.8", "pad", "0", "0.2495", "repeat", str(int(SECONDS * 4 + 80))],
                       check=True, timeout=60)
        player = subprocess.Popen(["paplay", "--latency-msec=100", "--device=speakers",
                                   f"--property=application.name={APPLICATION}", clicks], env=server.child_env())
        time.sleep(1.0)
        runs = {"whole": [], "named": ["--system-audio-from", APPLICATION]}
        for run, args in runs.items():
            out = os.path.join(server.directory, run + ".wav")
            helpers.append((run, out, Helper(["--out", out, "--wav", *args], binary=BIN, env=server.child_env())))
            helpers[-1][2].wait_line("STATUS recording ", timeout=20)
        time.sleep(SECONDS)
        for run, out, helper in helpers:
            helper.send("stop\n")
            status, _ = helper.finish(timeout=120)
            if status != 0:
                raise RuntimeError(f"{run}: status {status}: {helper.stderr}")
            with open(out.removesuffix("wav") + "drift.json") as f:
                sidecar = json.load(f)
            print(f"{name} {run}: mic {ppm(sidecar['mic_offset_ppm'])}, system {ppm(sidecar['system_offset_ppm'])} "
                  f"(corrected: mic {sidecar['mic_compensated']}, system {sidecar['system_compensated']}); "
                  f"clicks, system against mic: first 10 s {offsets(out, 0, 10)}, last 10 s "
                  f"{offsets(out, SECONDS - 10, SECONDS)}", flush=True)
            for line in helper.diags("system audio from"):
                print(f"  {line}", flush=True)
    finally:
        for _, _, helper in helpers:
            helper.kill()
        if player:
            player.kill()
            player.wait()
        server.stop()


for server_name in os.environ.get("SERVERS", "pulseaudio pipewire").split():
    measure(server_name)
