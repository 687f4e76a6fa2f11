"""Looking at what the helper wrote: container facts through ffprobe, samples
decoded through ffmpeg, and which tone sits on which channel."""
import array
import json
import math
import subprocess


def probe(path):
    """The first audio stream's facts and the container's duration."""
    out = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", path],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    info = json.loads(out)
    stream = next(s for s in info["streams"] if s["codec_type"] == "audio")
    return {
        "codec": stream["codec_name"],
        "sample_rate": int(stream["sample_rate"]),
        "channels": int(stream["channels"]),
        "sample_fmt": stream.get("sample_fmt"),
        "duration": float(info["format"]["duration"]),
        "format": info["format"]["format_name"],
    }


def channels(path, rate=48000):
    """Decoded samples as two lists of floats in [-1, 1] (channel 0, channel 1)."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "s16le", "-acodec", "pcm_s16le",
                          "-ar", str(rate), "-ac", "2", "-"], capture_output=True, timeout=120, check=True).stdout
    samples = array.array("h")
    samples.frombytes(raw[: len(raw) // 4 * 4])
    return [s / 32768.0 for s in samples[0::2]], [s / 32768.0 for s in samples[1::2]]


def rms(samples):
    return math.sqrt(sum(s * s for s in samples) / len(samples)) if samples else 0.0


def tone_level(samples, frequency, rate=48000):
    """Amplitude of one frequency (Goertzel), comparable to the RMS of a sine of that amplitude / sqrt 2."""
    if not samples:
        return 0.0
    coeff = 2 * math.cos(2 * math.pi * frequency / rate)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2
    return 2 * math.sqrt(max(power, 0.0)) / len(samples)


def first_onset(samples, threshold=0.05):
    """Index of the first sample whose magnitude exceeds the threshold, or None."""
    for i, x in enumerate(samples):
        if abs(x) > threshold:
            return i
    return None


def frame_count(path):
    """Frames in a file, as sox reads it."""
    return int(subprocess.run(["sox", "--i", "-s", path], capture_output=True, text=True, timeout=60,
                              check=True).stdout)


def window_samples(path, first, seconds, rate=48000):
    """`seconds` of every channel from frame `first` on, as lists of floats."""
    raw = subprocess.run(["sox", path, "-t", "raw", "-e", "signed", "-b", "16", "-", "trim", f"{first}s",
                          f"{int(seconds * rate)}s"], capture_output=True, timeout=120, check=True).stdout
    samples = array.array("h")
    samples.frombytes(raw[: len(raw) // 2 * 2])
    count = int(subprocess.run(["sox", "--i", "-c", path], capture_output=True, text=True, timeout=60,
                               check=True).stdout)
    return [[s / 32768.0 for s in samples[c::count]] for c in range(count)]


def tail_samples(path, seconds, rate=48000):
    """The last `seconds` of every channel, and the frame index where they begin."""
    first = max(0, frame_count(path) - int(seconds * rate))
    return window_samples(path, first, seconds, rate), first


def click_onsets(samples, first_frame=0, threshold=0.25):
    """Frame indices where the magnitude rises through the threshold (the leading edge of each click)."""
    onsets = []
    below = True
    for i, x in enumerate(samples):
        if below and abs(x) > threshold:
            onsets.append(first_frame + i)
        below = abs(x) <= threshold
    return onsets
