"""Where things are reached, as the module's own defaults have them: the
remote services' endpoint paths under their root URLs, the module's output
folders, and the application's default address. Plain constants: what reads
them needs none of the host's libraries."""

DEFAULT_BIND = "127.0.0.1:5000"

TTS_PATH = "/tts/index.php"
CLONE_PATH = "/tts/cln.php"
TRANSCRIBE_PATH = "/transcribe"

# Under the working directory; the module's links name them under the base URL.
OUTPUT_FOLDERS = {"tts": "output/tts", "clone": "output/clone"}
