"""The module's operations written in plain Python: the yardsticks the
benchmarks time the module against and the tests compare it with, held
once so that both measure and compare against the same code.

They do the module's exchanges with the same libraries, and raise where the
module answers with an error payload; they are references, not
replacements.
"""

import contextlib
import gc
import os
import tempfile
import time

import requests

from .defaults import LAYOUT, OUTPUT_FOLDERS

# The check as a plain def would be written in the module's place. The
# mapping is a literal in its body, as such a def builds it afresh on every
# call; that construction is part of the cost compared.
PLAIN_CHECK = """
def check_project_structure(required_folders=None):
    if required_folders is None:
        required_folders = %r
    base_dir = os.path.dirname(os.path.abspath(__file__))
    for folder, files in required_folders.items():
        folder_path = os.path.join(base_dir, folder)
        if not os.path.isdir(folder_path):
            return {"error": "Code is not complete. '" + folder + "' folder is missing."}
        missing_files = []
        for f in files:
            if not os.path.isfile(os.path.join(folder_path, f)):
                missing_files.append(f)
        if missing_files:
            return {"error": "Files not found in '" + folder + "': " + ", ".join(missing_files)}
    return {"status": True}
""" % (LAYOUT,)  # noqa: UP031 (the %r of a dict is the literal wanted)


def plain_check(module_file, os_module=os):
    """The check as a plain def whose globals `os` and `__file__` are given."""
    namespace = {"os": os_module, "__file__": module_file, "__name__": "plain"}
    exec(compile(PLAIN_CHECK, "plain.py", "exec"), namespace)
    return namespace["check_project_structure"]


TTS_FOLDER = OUTPUT_FOLDERS["tts"]


@contextlib.contextmanager
def atomic_file(path):
    """A file to write that appears under `path` complete or not at all, as
    the module's own files do: the link may be fetched from another host.
    Until then its hidden name marks it a partial download to the store's
    sweeps (store.is_partial)."""
    folder = os.path.dirname(path)
    fd, temp = tempfile.mkstemp(dir=folder, prefix=".plain-", suffix=".part")
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise


def write_atomically(path, data):
    with atomic_file(path) as f:
        f.write(data)


def make_generate_tts(check, like):
    """A generate_tts with the signature and defaults of `like` (the
    module's) that runs `check` (an installation check) first, as the module
    does."""

    def generate_tts(text, voice_id, speed, pitch, base_url, tts_endpoint, wait_time):
        if "error" in (checked := check()):
            return checked, 400
        response = requests.post(
            tts_endpoint, json={"data": [text, voice_id, str(speed), "1", str(pitch), "0"]}, timeout=wait_time
        )
        response.raise_for_status()
        resp_json = response.json()
        os.makedirs(TTS_FOLDER, exist_ok=True)
        for item in resp_json["data"].get("convert_result", []):
            oss_url = item.get("oss_url")
            local_path = os.path.join(TTS_FOLDER, os.path.basename(oss_url))
            audio_resp = requests.get(oss_url, timeout=wait_time)
            audio_resp.raise_for_status()
            write_atomically(local_path, audio_resp.content)
            item["oss_url"] = base_url.rstrip("/") + "/" + local_path.replace("\\", "/")
        time.sleep(10)
        return resp_json

    generate_tts.__defaults__ = like.__defaults__
    return generate_tts


def clone_voice(
    audio_url,
    clone_voice_id,
    tts_endpoint,
    base_url,
    check,
    timeout=100,
    output_folder=OUTPUT_FOLDERS["clone"] + "/",
):
    """clone_voice's whole job as the module does it: the output folder
    made, `check` (an installation check) passed, the exchange, and the
    download streamed in pieces of 8 KiB, as requests is commonly used,
    into a file that appears complete under its name."""
    os.makedirs(output_folder, exist_ok=True)
    if "error" in (checked := check()):
        return checked, 400
    response = requests.post(tts_endpoint, json={"url": audio_url, "id": clone_voice_id}, timeout=timeout)
    response.raise_for_status()
    resp_json = response.json()
    returned_url = resp_json["data"]
    local_filepath = os.path.join(output_folder, os.path.basename(returned_url))
    with requests.get(returned_url, stream=True, timeout=timeout) as r:
        r.raise_for_status()
        with atomic_file(local_filepath) as f:
            for chunk in r.iter_content(chunk_size=8192):
                f.write(chunk)
    resp_json["data"] = base_url + output_folder.strip("/") + "/" + os.path.basename(returned_url)
    return resp_json


def run_mod(size, torch):
    """run_mod's load on `torch` (given, so that a caller may count its
    calls): `size` GiB of random numbers multiplied by fresh ones for ten
    seconds, without the module's progress lines."""
    device = torch.device("cuda" if torch.cuda.is_available() else "cpu")
    tensor = torch.randn(size * 1024 * 1024 * 1024 // 4, device=device)
    try:
        start_time = time.time()
        while time.time() - start_time < 10:
            tensor = tensor * torch.randn_like(tensor)
    finally:
        del tensor
        torch.cuda.empty_cache()
        gc.collect()


class PlainSpeech:
    """The module, but for its generate_tts, which is the plain one above
    behind the module's own check: what a host built around it serves is
    the same in all but the text-to-speech code."""

    def __init__(self, module):
        self._module = module
        self.generate_tts = make_generate_tts(lambda: module.check_project_structure(), module.generate_tts)

    def __getattr__(self, name):
        return getattr(self._module, name)
