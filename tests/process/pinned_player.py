"""Plays a 48 kHz mono 16-bit WAV file on one sink, in a loop, as a stream the server may not move (DONT_MOVE):
paplay's stream follows the default sink wherever it goes, on both servers, so a test that switches defaults
cannot keep a device sounding with it. The server holds BUFFER_MSEC of it (a busy machine may hold the player
up that long). Usage: pinned_player.py SINK FILE [BUFFER_MSEC]."""
import ctypes
import sys
import time
import wave

pulse = ctypes.CDLL("libpulse.so.0")
P = ctypes.c_void_p
for name, restype, *argtypes in (
        ("pa_threaded_mainloop_new", P), ("pa_threaded_mainloop_get_api", P, P),
        ("pa_threaded_mainloop_start", None, P), ("pa_threaded_mainloop_lock", None, P),
        ("pa_threaded_mainloop_unlock", None, P), ("pa_context_new", P, P, ctypes.c_char_p),
        ("pa_context_connect", ctypes.c_int, P, ctypes.c_char_p, ctypes.c_int, P),
        ("pa_context_get_state", ctypes.c_int, P), ("pa_stream_new", P, P, ctypes.c_char_p, P, P),
        ("pa_stream_connect_playback", ctypes.c_int, P, ctypes.c_char_p, P, ctypes.c_int, P, P),
        ("pa_stream_get_state", ctypes.c_int, P), ("pa_stream_writable_size", ctypes.c_size_t, P),
        ("pa_stream_write", ctypes.c_int, P, P, ctypes.c_size_t, P, ctypes.c_int64, ctypes.c_int)):
    getattr(pulse, name).restype, getattr(pulse, name).argtypes = restype, argtypes

PA_CONTEXT_READY, PA_STREAM_READY = 4, 2
PA_STREAM_ADJUST_LATENCY, PA_STREAM_DONT_MOVE = 0x2000, 0x0200


class SampleSpec(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]


class BufferAttr(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32) for name in ("maxlength", "tlength", "prebuf", "minreq", "fragsize")]


def wait_for(lock_state, ready, what):
    deadline = time.monotonic() + 10
    while lock_state() != ready:
        if time.monotonic() > deadline:
            sys.exit(f"pinned_player: {what} not ready")
        time.sleep(0.01)


def main():
    sink, path = sys.argv[1].encode(), sys.argv[2]
    latency = int(sys.argv[3]) if len(sys.argv) > 3 else 100
    with wave.open(path) as sound:
        assert (sound.getframerate(), sound.getnchannels(), sound.getsampwidth()) == (48000, 1, 2), path
        data = sound.readframes(sound.getnframes())
    loop = pulse.pa_threaded_mainloop_new()
    context = pulse.pa_context_new(pulse.pa_threaded_mainloop_get_api(loop), b"pinned player")
    pulse.pa_context_connect(context, None, 0, None)
    pulse.pa_threaded_mainloop_start(loop)

    def locked(call, *args):
        pulse.pa_threaded_mainloop_lock(loop)
        try:
            return call(*args)
        finally:
            pulse.pa_threaded_mainloop_unlock(loop)

    wait_for(lambda: locked(pulse.pa_context_get_state, context), PA_CONTEXT_READY, "context")
    spec = SampleSpec(3, 48000, 1)  # PA_SAMPLE_S16LE
    stream = locked(pulse.pa_stream_new, context, b"pinned player", ctypes.byref(spec), None)
    # No pre-buffering: a late write is a short silence, never a stream that waits to fill up again.
    attr = BufferAttr(0xFFFFFFFF, latency * 96, 0, 0xFFFFFFFF, 0xFFFFFFFF)
    locked(pulse.pa_stream_connect_playback, stream, sink, ctypes.byref(attr),
           PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE, None, None)
    wait_for(lambda: locked(pulse.pa_stream_get_state, stream), PA_STREAM_READY, "stream")
    buffer = ctypes.create_string_buffer(data, len(data))
    position = 0
    while True:
        writable = locked(pulse.pa_stream_writable_size, stream)
        while writable > 0:
            count = min(writable, len(data) - position) // 2 * 2
            locked(pulse.pa_stream_write, stream, ctypes.byref(buffer, position), count, None, 0, 0)
            position = (position + count) % len(data)
            writable -= count
        time.sleep(0.01)


if __name__ == "__main__":
    main()
