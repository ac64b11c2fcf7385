"""Speech audio for the stand-in services: synthesis, WAV handling, transcription.

Synthesis uses espeak-ng when it is installed and otherwise writes a plain
tone, so that the services still hand out real, playable WAV files on a
machine without a speech synthesiser. Transcription uses pocketsphinx and its
bundled English model when the package is installed; without it, only audio
whose words the stand-in knows (because it synthesised them) can be
transcribed.
"""

import array
import io
import math
import shutil
import subprocess
import sys
import wave

MAX_TEXT = 2000

# espeak-ng voices offered to clients. Anything else falls back to American
# English, which the recogniser's English model also hears best; so a caller's
# voice identifier never reaches the synthesiser's command line as it is.
VOICES = {
    "en": "en",
    "en-us": "en-us",
    "en-gb": "en-gb",
    "de": "de",
    "fr": "fr",
    "es": "es",
    "it": "it",
}
# Cloned voices are distinct espeak-ng variants, chosen by the clone identifier.
CLONE_VARIANTS = ["m1", "m3", "f1", "f2", "f4", "croak", "whisper"]


def espeak_path():
    return shutil.which("espeak-ng")


def synthesiser_name():
    return "espeak-ng" if espeak_path() else "tone"


def _number(value, default, low, high):
    try:
        number = float(value)
    except (TypeError, ValueError):
        return default
    if math.isnan(number):
        return default
    return min(max(number, low), high)


def synthesise(text, voice="en-us", speed=1, pitch=1, variant=None):
    """WAV bytes speaking `text`, or a tone standing in for it.

    `speed` and `pitch` are factors around 1 (the values the clients send as
    text); they are clamped to what the synthesiser accepts.
    """
    speed = _number(speed, 1.0, 0.25, 4.0)
    pitch = _number(pitch, 1.0, 0.0, 2.0)
    espeak = espeak_path()
    if espeak is None:
        return tone(len(text))
    name = VOICES.get(str(voice).lower(), "en-us")
    if variant:
        name += "+" + variant
    # The text goes through standard input, never as an argument, so no text
    # can be taken for an option.
    result = subprocess.run(
        [espeak, "--stdout", "-v", name, "-s", str(int(160 * speed)), "-p", str(int(50 * pitch)), "--stdin"],
        input=text.encode("utf-8"),
        capture_output=True,
        timeout=60,
        check=True,
    )
    return _repair_header(result.stdout)


def _repair_header(data):
    """espeak-ng writing to a pipe cannot seek back, so the sizes in its WAV
    header are placeholders; keep its format fields and write true sizes."""
    fmt = data.find(b"fmt ")
    data_at = data.find(b"data")
    if not data.startswith(b"RIFF") or fmt < 0 or data_at < 0:
        raise RuntimeError("espeak-ng did not produce WAV audio")
    body = data[fmt + 8 : fmt + 24]
    channels = int.from_bytes(body[2:4], "little")
    rate = int.from_bytes(body[4:8], "little")
    width = int.from_bytes(body[14:16], "little") // 8
    frames = data[data_at + 8 :]
    frames = frames[: len(frames) - len(frames) % (channels * width)]
    return wav_bytes(frames, rate, channels, width)


def wav_bytes(frames, rate, channels=1, width=2):
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(frames)
    return out.getvalue()


def tone(length, rate=16000):
    """A two-note chime whose duration grows with the text length: plainly not
    speech, but real audio that any player accepts."""
    seconds = min(max(0.06 * length, 0.6), 8.0)
    count = int(seconds * rate)
    samples = array.array("h")
    for i in range(count):
        t = i / rate
        freq = 440.0 if (t * 2) % 1 < 0.5 else 660.0
        fade = min(1.0, i / 800, (count - i) / 800)
        samples.append(int(9000 * fade * math.sin(2 * math.pi * freq * t)))
    if sys.byteorder == "big":
        samples.byteswap()
    return wav_bytes(samples.tobytes(), rate)


def duration(data):
    with wave.open(io.BytesIO(data)) as w:
        return w.getnframes() / w.getframerate()


def mono16k(data):
    """16-bit mono samples at 16 kHz, the format the recogniser's model expects,
    by averaging channels and linear interpolation."""
    with wave.open(io.BytesIO(data)) as w:
        channels, width, rate = w.getnchannels(), w.getsampwidth(), w.getframerate()
        frames = w.readframes(w.getnframes())
    if width != 2:
        raise ValueError("only 16-bit PCM audio is supported")
    src = array.array("h", frames)
    if sys.byteorder == "big":
        src.byteswap()
    if channels > 1:
        src = array.array("h", (sum(src[i : i + channels]) // channels for i in range(0, len(src), channels)))
    if rate == 16000 or not src:
        out = src
    else:
        count = int(len(src) * 16000 / rate)
        out = array.array("h", bytes(2 * count))
        last = len(src) - 1
        step = rate / 16000
        for i in range(count):
            x = i * step
            j = int(x)
            a = src[j]
            b = src[j + 1] if j < last else a
            out[i] = int(a + (b - a) * (x - j))
    if sys.byteorder == "big":
        out.byteswap()
    return out.tobytes()


def recogniser_available():
    try:
        import pocketsphinx  # noqa: F401
    except ImportError:
        return False
    return True


def recognise(data):
    """The words pocketsphinx hears in WAV `data` (possibly empty)."""
    from pocketsphinx import Decoder

    decoder = Decoder(samprate=16000, loglevel="FATAL")
    decoder.start_utt()
    decoder.process_raw(mono16k(data), full_utt=True)
    decoder.end_utt()
    hyp = decoder.hyp()
    return hyp.hypstr if hyp is not None else ""
