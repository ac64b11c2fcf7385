"""generate_tts written in plain Python over `requests`: the same exchange as
the module's, kept as a reference that the benchmarks and the example host
can both run beside the module, so the two are measured doing one job.

It raises where the module answers with an error payload; it is a yardstick,
not a replacement.
"""

import os
import tempfile
import time

import requests

DEFAULT_BASE_URL = "http://127.0.0.1:5000/"
DEFAULT_ENDPOINT = "https://127.0.0.1:8443/tts/index.php"
OUTPUT_FOLDER = "output/tts"


def write_atomically(path, data):
    """The file appears under its name complete or not at all, as the
    module's own files do: the link may be fetched from another host."""
    folder = os.path.dirname(path)
    fd, temp = tempfile.mkstemp(dir=folder, prefix=".plain-", suffix=".part")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise


def make_generate_tts(check):
    """A generate_tts with the module's signature that runs `check` (the
    installation check) first, as the module does."""

    def generate_tts(text, voice_id, speed=1, pitch=1, base_url=DEFAULT_BASE_URL,
                     tts_endpoint=DEFAULT_ENDPOINT, wait_time=10):
        if "error" in (checked := check()):
            return checked, 400
        response = requests.post(tts_endpoint,
                                 json={"data": [text, voice_id, str(speed), "1", str(pitch), "0"]},
                                 timeout=wait_time)
        response.raise_for_status()
        resp_json = response.json()
        os.makedirs(OUTPUT_FOLDER, exist_ok=True)
        for item in resp_json["data"].get("convert_result", []):
            oss_url = item.get("oss_url")
            local_path = os.path.join(OUTPUT_FOLDER, os.path.basename(oss_url))
            audio_resp = requests.get(oss_url, timeout=wait_time)
            audio_resp.raise_for_status()
            write_atomically(local_path, audio_resp.content)
            item["oss_url"] = base_url.rstrip("/") + "/" + local_path.replace("\\", "/")
        time.sleep(10)
        return resp_json

    return generate_tts
