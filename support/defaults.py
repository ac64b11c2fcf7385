"""The defaults as the stack, the benchmarks and the tests need them: the
ports and URLs the module calls and links to when built with its defaults,
and the installation layout its check asks for. The paths of the remote
services' endpoints, the folders the module writes and the application's
port are the host's own (it needs nothing of this package): they are taken
from it.

The module keeps its own copy (CMakeLists.txt, src/module/); this is the
one the Python side shares. The layout is checked against the module
wherever one is installed (installation.py), so a copy that drifted fails
there loudly.
"""

import runpy

from support import HOST

# Read from its file rather than through the host package, whose import
# needs the host's libraries: the stand-in's image has only this file of it.
_endpoints = runpy.run_path(str(HOST / "endpoints.py"))
CLONE_PATH = _endpoints["CLONE_PATH"]
DEFAULT_BIND = _endpoints["DEFAULT_BIND"]
OUTPUT_FOLDERS = _endpoints["OUTPUT_FOLDERS"]
TRANSCRIBE_PATH = _endpoints["TRANSCRIBE_PATH"]
TTS_PATH = _endpoints["TTS_PATH"]

# The ports the module calls by default and where its links point by
# default: the demo's stand-in and its application (or front) listen there,
# the application where the host listens by default.
SPEECH_PORT = 8443
TRANSCRIPTION_PORT = 8444
APP_PORT = int(DEFAULT_BIND.rsplit(":", 1)[1])
SPEECH_URL = f"https://127.0.0.1:{SPEECH_PORT}"
TRANSCRIPTION_URL = f"https://127.0.0.1:{TRANSCRIPTION_PORT}"
BASE_URL = f"http://127.0.0.1:{APP_PORT}/"
# The front's HTTPS port when it speaks HTTPS (its plain port is APP_PORT).
TLS_PORT = 5443

# Folders beside the module and the files each must hold, in the order the
# check tests them: the first shortfall in this order is the one reported.
LAYOUT = {
    "models": [
        "whisper_model.safetensors",
        "voice_clone_00001-of-00002.safetensors",
        "musicgen_00002-of-00002.bin",
        "D_Onigiri_50968.pth",
    ],
    "token": ["tokenizer.json", "mtl_tokenizer.json"],
    "zonos": ["config.py"],
}

__all__ = [
    "APP_PORT",
    "BASE_URL",
    "CLONE_PATH",
    "LAYOUT",
    "OUTPUT_FOLDERS",
    "SPEECH_PORT",
    "SPEECH_URL",
    "TRANSCRIBE_PATH",
    "TRANSCRIPTION_PORT",
    "TRANSCRIPTION_URL",
    "TTS_PATH",
]
