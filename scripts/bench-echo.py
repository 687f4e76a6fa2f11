#!/usr/bin/env python3
"""Voice processing on a real echo path, beside the sound server's own canceller on the same run.

    scripts/bench-echo.py [pulseaudio|pipewire] [--raw]     (BUILD=build)

A private server (the process tests' fixture) with a microphone `mic` fed by the sink `mic_feed`, and
speakers; module-loopback carries the speakers' monitor into the microphone's sink at -10 dB and 60 ms,
replaced by one of 180 ms at MOVE_AT. Far-end and near-end speech (espeak-ng, two voices) is laid out by
bench_echo_cancel: far end alone, near end alone, both, far end alone. The far end plays through the
server canceller's sink (module-echo-cancel aec_method=webrtc, its gain control off so that levels can
be compared) into the speakers; the helper records the raw microphone and the speakers' monitor with
--voice-processing while parecord records the server canceller's source. Both are scored against the
raw microphone track (kept with --keep-temps). Prints the figures and the helper's CPU share. With --raw
the helper records without voice processing and its output is kept (KEEP=1) for `bench_echo_cancel replay`."""
import os
import resource
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, os.environ.get("BUILD", "build"))
os.environ["ORVANE_SOUND_SERVER"] = sys.argv[1] if len(sys.argv) > 1 else "pulseaudio"
RAW = "--raw" in sys.argv
sys.path.insert(0, os.path.join(ROOT, "tests", "process"))
from harness import Helper  # noqa: E402
from pulse_server import mic_modules, new_server  # noqa: E402

BENCH = os.path.join(BUILD, "bench", "bench_echo_cancel")
MOVE_AT = 36.0  # seconds into the material, in its last far-end-only span
FAR = ("Good morning everyone, thank you for joining the call today. I want to go over the quarterly numbers and "
       "then talk about the roadmap for the next release. Our revenue grew by twelve percent, which is slightly "
       "above the forecast we made in January. The support team closed more tickets than ever before, and the "
       "response time dropped to under four hours. Let us look at the plans for the spring, starting with the new "
       "storage layer and the migration of the older customers.")
NEAR = ("Thanks, that sounds great. I have a question about the migration schedule, because the older customers "
        "are still on the previous version, and some of them asked for more time. Could we move the deadline to "
        "the end of the summer? I also think we should write a short guide.")


def material(work):
    for name, voice, speed, text in (("far", "en-us", "160", FAR), ("near", "en+f3", "150", NEAR)):
        subprocess.run(["espeak-ng", "-v", voice, "-s", speed, "-w", f"{work}/{name}22k.wav", text], check=True)
        subprocess.run(["sox", f"{work}/{name}22k.wav", "-r", "48000", "-b", "16", f"{work}/{name}48k.wav"],
                       check=True)
    subprocess.run([BENCH, "schedule", f"{work}/far48k.wav", f"{work}/near48k.wav", work], check=True)


def loopback(server, latency_ms):
    """A loopback of `latency_ms` from the speakers' monitor into the microphone's sink at -10 dB."""
    before = {row[0] for row in server.short_list("sink-inputs")}
    module = server.pactl("load-module", "module-loopback", "source=speakers.monitor", "sink=mic_feed",
                          f"latency_msec={latency_ms}", "source_dont_move=true", "sink_dont_move=true").strip()
    server.wait_until("loopback input", lambda: {row[0] for row in server.short_list("sink-inputs")} - before)
    for index in {row[0] for row in server.short_list("sink-inputs")} - before:
        server.pactl("set-sink-input-volume", index, "-10dB")
    return module


def main():
    work = tempfile.mkdtemp(prefix="orvane-echo-")
    material(work)
    server = new_server(mic_modules("mic", 48000))
    server.start()
    try:
        env = server.child_env()
        canceller = server.pactl("load-module", "module-echo-cancel", "aec_method=webrtc", "source_master=mic",
                                 "sink_master=speakers", "source_name=ec_source", "sink_name=ec_sink",
                                 'aec_args="analog_gain_control=0 digital_gain_control=0"', check=False)
        if not canceller:
            print("the server loads no module-echo-cancel: ours alone")
        server.pactl("set-default-sink", "speakers")
        server.pactl("set-default-source", "mic")
        first = loopback(server, 60)
        voice = [] if RAW else ["--voice-processing"]
        helper = Helper([*voice, "--wav", "--keep-temps", "--out", f"{work}/out.wav"],
                        binary=os.path.join(BUILD, "orvane-capture"), env=env)
        helper.wait_line("STATUS recording ", timeout=20)
        recorder = canceller and subprocess.Popen(
            ["parecord", "--device=ec_source", "--rate=48000", "--channels=1", "--format=float32le",
             "--latency-msec=20", "--file-format=wav", f"{work}/server.wav"], env=env)
        time.sleep(1)
        started = time.monotonic()
        far_sink = "ec_sink" if canceller else "speakers"
        players = [subprocess.Popen(["paplay", "--latency-msec=20", f"--device={far_sink}", f"{work}/far.wav"], env=env),
                   subprocess.Popen(["paplay", "--latency-msec=20", "--device=mic_feed", f"{work}/near.wav"], env=env)]
        time.sleep(MOVE_AT - (time.monotonic() - started))
        server.pactl("unload-module", first)
        loopback(server, 180)
        moved = time.monotonic() - started
        for player in players:
            player.wait(timeout=60)
        time.sleep(1)
        if recorder:
            recorder.terminate()
            recorder.wait(timeout=10)
        cpu = open(f"/proc/{helper.proc.pid}/stat").read().split(")")[1].split()
        ticks = (int(cpu[11]) + int(cpu[12])) / os.sysconf("SC_CLK_TCK")
        status, lines = helper.stop()
        print("".join(line for line in helper.stderr.splitlines(True) if "voice" in line or "echo" in line))
        print(f"server {server.name}; loopback moved from 60 to 180 ms at {moved:.2f} s; helper status {status}; "
              f"helper CPU while recording {ticks:.2f} s over {time.monotonic() - started:.0f} s")
        print(f"kept in {work}" if os.environ.get("KEEP") else "", "\nours:", flush=True)
        subprocess.run([BENCH, "score", f"{work}/near.wav", f"{work}/out.mic.caf", f"{work}/out.wav", f"{moved:.2f}"])
        if recorder:
            print("the server's module-echo-cancel aec_method=webrtc:", flush=True)
            subprocess.run([BENCH, "score", f"{work}/near.wav", f"{work}/out.mic.caf", f"{work}/server.wav",
                            f"{moved:.2f}"])
    finally:
        server.stop()
        if not os.environ.get("KEEP"):
            subprocess.run(["rm", "-rf", work])


main()
