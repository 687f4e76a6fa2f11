#!/usr/bin/env python3
"""Stop latency through the real entry point: the scripted backend records `minutes` sped up, both devices
drifting (+50 / -50 ppm, so both tracks need correction), AAC and WAV. Measured: stop line to "STATUS stopped",
the process's CPU and peak RSS, the finisher thread's CPU, how far apart the channels' clicks lie at the output's
start and end; then on the same kept tracks the output made afresh (bench_stop, what a stop does when the finisher
made nothing) and the peer after the fact (ffmpeg amerge + aac, sox -M).
    bench-stop-live.py <sim binary> <bench_stop binary> <minutes> ...     SPEED (default 40), OUTS ("m4a wav"),
    ARGS (more helper options, e.g. --voice-processing), CHANGE ("30:33": the microphone's clock moves to
    +33 ppm 30 s before the end, so that the finisher makes the last minutes again at the stop), AFTER ("0": skip
    the output made afresh and the peer, which take minutes on a long recording)"""
import array
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

SIM, BENCH, MINUTES = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), [float(m) for m in sys.argv[3:]]
SPEED = float(os.environ.get("SPEED", "40"))
TICK = os.sysconf("SC_CLK_TCK")


def device(ppm):
    return {"signal": "sineClicks", "amplitude": 0.5, "clickEveryMs": 700, "clickWidthMs": 0.5, "ppm": ppm}


def timed(args, work):
    """Runs args under /usr/bin/time in work; (wall s, cpu s, peak MB)."""
    subprocess.run(["/usr/bin/time", "-f", "%e %M %U %S", "-o", f"{work}/time", *args], cwd=work, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall, rss, user, system = open(f"{work}/time").read().split()
    return float(wall), float(user) + float(system), int(rss) / 1024


def cpu_of(stat):
    fields = open(stat).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def finisher_cpu(pid):
    """(the finisher thread's CPU, the whole process's) so far."""
    own = sum(cpu_of(f"/proc/{pid}/task/{tid}/stat") for tid in os.listdir(f"/proc/{pid}/task")
              if open(f"/proc/{pid}/task/{tid}/comm").read().strip() == "finisher")
    return own, cpu_of(f"/proc/{pid}/stat")


def click_offset_ms(path, start):
    """The median and the largest distance (ms) from each system click to the nearest microphone click, over
    20 s of the output from `start` s (negative: from the end)."""
    where = ["-sseof", str(start)] if start < 0 else ["-ss", str(start)]
    raw = subprocess.run(["ffmpeg", "-v", "error", *where, "-i", path, "-t", "20", "-f", "s16le", "-ar", "48000",
                          "-"], capture_output=True, check=True).stdout
    samples = array.array("h", raw[: len(raw) // 4 * 4])

    def onsets(channel):
        found, below = [], True
        for i, x in enumerate(samples[channel::2]):
            if below and abs(x) > 8192:
                found.append(i)
            below = abs(x) <= 8192
        return found

    mic, system = onsets(0), onsets(1)
    if not mic or not system:
        return float("nan"), float("nan")
    offsets = sorted(abs(min(mic, key=lambda m: abs(m - c)) - c) / 48 for c in system)
    return offsets[len(offsets) // 2], offsets[-1]


def record(work, minutes, ext):
    scenario = f"{work}/scenario.json"
    mic = device(50)
    if os.environ.get("CHANGE"):
        before, after = (float(v) for v in os.environ["CHANGE"].split(":"))
        mic.update(ppmChangeAt=minutes * 60 - before, ppmAfter=after)
    json.dump({"speed": SPEED, "mic": mic, "system": device(-50)}, open(scenario, "w"))
    args = [SIM, "--scenario", scenario, "--out", f"{work}/rec.{ext}", "--keep-temps"] + (["--wav"] * (ext == "wav"))
    args += os.environ.get("ARGS", "").split()
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%e %M %U %S", "-o", f"{work}/time", *args],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=open(f"{work}/stderr", "w"))
    lines, stopped = [], threading.Event()

    def drain():  # LEVEL lines go on all through the recording: a full pipe would hold the helper
        for line in proc.stdout:
            lines.append(line.decode())
            if line.startswith(b"STATUS stopped"):
                stopped.set()

    threading.Thread(target=drain, daemon=True).start()
    while not any(line.startswith("STATUS recording") for line in lines):
        time.sleep(0.01)
    time.sleep(minutes * 60 / SPEED)
    child = int(open(f"/proc/{proc.pid}/task/{proc.pid}/children").read().split()[0])
    own, recording = finisher_cpu(child)
    began = time.monotonic()
    proc.stdin.write(b"stop\n")
    proc.stdin.flush()
    stopped.wait()
    latency = time.monotonic() - began
    proc.wait()
    _, rss, user, system = open(f"{work}/time").read().split()
    drops = sum(line.startswith("WARN write_backpressure") for line in lines)
    fallback = [l for l in open(f"{work}/stderr") if "finisher:" in l]
    return latency, float(user) + float(system), int(rss) / 1024, own, recording, drops, fallback


print(f"speed {SPEED:g}; stop = stop line to STATUS stopped; cpu = whole process (finisher's share); "
      "old = the output made afresh from the same tracks; peer = after the fact")
print(f"{'min':>5} {'out':>4} {'stop s':>7} {'old s':>7} {'peer s':>7} {'cpu s':>7} {'fin s':>6} {'old cpu':>8} "
      f"{'ratio':>6} {'MB':>6} {'drops':>5}  clicks apart, ms (median/max): first 20 s, last 20 s")
for minutes in MINUTES:
    for ext in os.environ.get("OUTS", "m4a wav").split():
        work = tempfile.mkdtemp(prefix="orvane-stop-live.")
        try:
            latency, cpu, rss, own, recording, drops, fallback = record(work, minutes, ext)
            seconds = minutes * 60
            head, end = click_offset_ms(f"{work}/rec.{ext}", 1), click_offset_ms(f"{work}/rec.{ext}", -21)
            os.remove(f"{work}/rec.{ext}")
            old_wall, old_cpu, peer_wall = float("nan"), float("nan"), float("nan")
            if os.environ.get("AFTER", "1") != "0":
                old_wall, old_cpu, _ = timed([BENCH, "stop", work, str(seconds), f"rec.{ext}"], work)
                peer = (["ffmpeg", "-v", "error", "-y", "-i", "rec.mic.caf", "-i", "rec.sys.caf", "-filter_complex",
                         "amerge", "-c:a", "aac", "peer.m4a"] if ext == "m4a"
                        else ["sox", "-M", "rec.mic.caf", "rec.sys.caf", "peer.wav"])
                peer_wall, _, _ = timed(peer, work)
            # Before the finisher the recording cost its CPU less the finisher's, and the stop cost the old path.
            ratio = cpu / (recording - own + old_cpu)
            print(f"{minutes:5g} {ext:>4} {latency:7.2f} {old_wall:7.2f} {peer_wall:7.2f} {cpu:7.1f} {own:6.1f} "
                  f"{old_cpu:8.1f} {ratio:6.2f} {rss:6.1f} {drops:5d}  {head[0]:.2f}/{head[1]:.2f}, "
                  f"{end[0]:.2f}/{end[1]:.2f}", flush=True)
            for line in fallback:
                print("      " + line.strip())
        finally:
            shutil.rmtree(work, True)
