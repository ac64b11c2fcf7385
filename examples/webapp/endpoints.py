"""The paths of the remote services' endpoints, each under its service's
root URL (which the settings give), as the module's own defaults have them."""

TTS_PATH = "/tts/index.php"
CLONE_PATH = "/tts/cln.php"
TRANSCRIBE_PATH = "/transcribe"
