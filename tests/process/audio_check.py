"""Looking at what the helper wrote: container facts through ffprobe, samples
decoded through ffmpeg, tones, levels and clicks."""
import array
import json
import math
import subprocess

RATE = 48000


def probe(path):
    """The first audio stream's facts and the container's duration."""
    out = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", path],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    info = json.loads(out)
    stream = next(s for s in info["streams"] if s["codec_type"] == "audio")
    return {"codec": stream["codec_name"], "sample_rate": int(stream["sample_rate"]),
            "channels": int(stream["channels"]), "duration": float(info["format"]["duration"])}


def channels(path, first=0, seconds=None):
    """Each channel's samples as floats in [-1, 1] at 48 kHz, from frame `first` on (all, or `seconds`)."""
    count = probe(path)["channels"]
    trim = f"atrim=start_sample={first}" + (f":end_sample={first + int(seconds * RATE)}" if seconds else "")
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-af", trim, "-f", "s16le", "-ar", str(RATE), "-"],
                         capture_output=True, timeout=120, check=True).stdout
    samples = array.array("h")
    samples.frombytes(raw[: len(raw) // (2 * count) * 2 * count])
    return [[s / 32768.0 for s in samples[c::count]] for c in range(count)]


def frame_count(path):
    return int(subprocess.run(["sox", "--i", "-s", path], capture_output=True, text=True, timeout=60,
                              check=True).stdout)


def rms(samples):
    return math.sqrt(sum(s * s for s in samples) / len(samples)) if samples else 0.0


def tone_level(samples, frequency, rate=RATE):
    """Amplitude of one frequency (Goertzel), comparable to the RMS of a sine of that amplitude / sqrt 2."""
    if not samples:
        return 0.0
    coeff = 2 * math.cos(2 * math.pi * frequency / rate)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    return 2 * math.sqrt(max(s1 * s1 + s2 * s2 - coeff * s1 * s2, 0.0)) / len(samples)


def click_onsets(samples, first_frame=0, threshold=0.25):
    """Frame indices where the magnitude rises through the threshold (the leading edge of each click)."""
    onsets = []
    below = True
    for i, x in enumerate(samples):
        if below and abs(x) > threshold:
            onsets.append(first_frame + i)
        below = abs(x) <= threshold
    return onsets


def first_onset(samples, threshold=0.05):
    """Index of the first sample whose magnitude exceeds the threshold, or None."""
    return next(iter(click_onsets(samples, 0, threshold)), None)
