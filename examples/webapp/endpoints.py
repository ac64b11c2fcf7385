"""Where things are reached: the paths of the remote services' endpoints,
each under its service's root URL (which the settings give), as the module's
own defaults have them, the folders the module writes its audio to, and the
address the application listens on when nothing says otherwise. Plain
constants, so that what reads them needs none of the host's libraries."""

DEFAULT_BIND = "127.0.0.1:5000"

TTS_PATH = "/tts/index.php"
CLONE_PATH = "/tts/cln.php"
TRANSCRIBE_PATH = "/transcribe"

# Where the module writes its audio, under the working directory, by kind;
# the links it returns name them under the base URL.
OUTPUT_FOLDERS = {"tts": "output/tts", "clone": "output/clone"}
