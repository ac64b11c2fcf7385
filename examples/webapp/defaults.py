"""The module's defaults as the Python side needs them: the installation
layout its check asks for, and the paths of the remote services' endpoints.

The module keeps its own copy (src/module/); this is the one the example
host, the benchmarks and the tests share. `lay_out` is checked against the
module wherever it installs one, so a copy that drifted fails there loudly.
"""

from pathlib import Path

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

# Each under its service's root URL, which is the caller's to choose.
TTS_PATH = "/tts/index.php"
CLONE_PATH = "/tts/cln.php"
TRANSCRIBE_PATH = "/transcribe"


def lay_out(root):
    """Creates under `root` what the layout lacks, each file empty (the
    module only checks that they exist); what is there already is left as
    it is. Returns the paths made."""
    root = Path(root)
    made = []
    for folder, files in LAYOUT.items():
        if not (root / folder).is_dir():
            (root / folder).mkdir()
            made.append(root / folder)
        for name in files:
            path = root / folder / name
            if not path.is_file():
                path.touch()
                made.append(path)
    return made
