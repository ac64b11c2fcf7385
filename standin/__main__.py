"""Starts both stand-in services and serves until interrupted."""

import argparse
import signal
import sys
import tempfile
import threading

from support.defaults import CLONE_PATH, SPEECH_PORT, TRANSCRIBE_PATH, TRANSCRIPTION_PORT, TTS_PATH

from .services import AUDIO_MAX_AGE, AUDIO_MAX_BYTES, Services


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m standin", description=__doc__)
    parser.add_argument("--host", default="127.0.0.1", help="loopback address to listen on")
    parser.add_argument("--speech-port", type=int, default=SPEECH_PORT)
    parser.add_argument("--transcription-port", type=int, default=TRANSCRIPTION_PORT)
    parser.add_argument(
        "--state-dir", help="where the CA file and the audio go (default: a new temporary folder)"
    )
    parser.add_argument(
        "--transcriber",
        choices=["auto", "pocketsphinx", "recorded"],
        default="auto",
        help="auto: pocketsphinx when installed, else the texts recorded at synthesis",
    )
    parser.add_argument(
        "--audio-max-age",
        type=float,
        default=AUDIO_MAX_AGE,
        help="seconds the audio it hands out is kept (0: no limit; default %(default)s)",
    )
    parser.add_argument(
        "--audio-max-bytes",
        type=int,
        default=AUDIO_MAX_BYTES,
        help="bytes of audio kept at most, the oldest going first (0: no limit; default %(default)s)",
    )
    args = parser.parse_args(argv)

    state_dir = args.state_dir or tempfile.mkdtemp(prefix="standin-")
    try:
        services = Services(
            state_dir,
            args.host,
            args.speech_port,
            args.transcription_port,
            args.transcriber,
            args.audio_max_age,
            args.audio_max_bytes,
        ).start()
    except (ValueError, OSError) as e:
        print(f"standin: {e}", file=sys.stderr)
        return 1

    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())
    print(f"speech service:        {services.speech_url}  ({TTS_PATH}, {CLONE_PATH})")
    print(f"transcription service: {services.transcription_url}  ({TRANSCRIBE_PATH})")
    print(f"CA file to trust:      {services.ca_path}")
    print(f"                       export REQUESTS_CA_BUNDLE={services.ca_path}")
    print(f"synthesis: {services.synthesiser}; transcription: {services.transcriber}", flush=True)
    stop.wait()
    services.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
