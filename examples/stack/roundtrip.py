"""One text-to-speech round trip through the running application: the text
goes in, the link comes back, and the audio it points at is fetched from the
application itself.

    python roundtrip.py [BASE_URL [CA_FILE]]   (default: the module's, support.defaults)
"""

import io
import json
import ssl
import sys
import urllib.error
import urllib.request
import wave

from support.defaults import BASE_URL

TEXT = "Hello. The speech service and the web application are working."


def round_trip(base_url, cafile=None):
    """`cafile`: the authority an https:// front's certificate is checked
    against (default: the system's)."""
    context = ssl.create_default_context(cafile=cafile and str(cafile))
    request = urllib.request.Request(
        base_url.rstrip("/") + "/api/tts",
        data=json.dumps({"text": TEXT, "voice_id": "en-us"}).encode(),
        headers={"Content-Type": "application/json"},
    )
    try:
        with urllib.request.urlopen(request, timeout=90, context=context) as response:
            answer = json.load(response)
    except urllib.error.HTTPError as e:
        raise SystemExit(
            f"the application answered HTTP {e.code}: {e.read().decode(errors='replace')}"
        ) from None
    if "error" in answer:
        raise SystemExit(f"text-to-speech failed: {answer['error']}")
    link = answer["data"]["convert_result"][0]["oss_url"]
    if not link.startswith(base_url.rstrip("/") + "/output/tts/"):
        raise SystemExit(f"the audio was not stored locally: {link}")
    with urllib.request.urlopen(link, timeout=30, context=context) as response:
        data = response.read()
    with wave.open(io.BytesIO(data)) as w:
        seconds = w.getnframes() / w.getframerate()
    if seconds <= 0:
        raise SystemExit(f"the audio at {link} is empty")
    return link, seconds


def show(base_url, cafile=None):
    link, seconds = round_trip(base_url, cafile)
    print(f"text-to-speech round trip: {TEXT!r}")
    print(f"  -> {link} ({seconds:.1f} s of WAV audio, served by the application)", flush=True)


if __name__ == "__main__":
    show(*(sys.argv[1:3] or [BASE_URL]))
