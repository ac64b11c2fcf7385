"""Under gevent's monkey-patching the module's waits and HTTP exchanges yield
to other greenlets: hundreds of calls in one OS thread, each with the real
10-second wait, end together in about one wait. A sleep, a lock or network
I/O of the module's own (anything not reached through its `time` and
`requests`) would serialise them, and a gevent host with them.

The patching runs in a child interpreter, with the stand-in services in the
same child, so that it never reaches the rest of the test run."""

import json

import pytest

EACH = 70  # calls per operation: 210 greenlets in all
WAIT = 10

CHILD = r"""
from gevent import monkey

monkey.patch_all()

import json, os, sys, time

import gevent
import requests

import dorvane
from support.defaults import CLONE_PATH, TRANSCRIBE_PATH, TTS_PATH
from standin import Services, audio

each, state = int(sys.argv[1]), sys.argv[2]
# The stand-in logs every request; the outcome alone goes to the parent.
report, sys.stdout = sys.stdout, open(os.devnull, "w")
services = Services(state, speech_port=0, transcription_port=0, transcriber="recorded").start()
os.environ["REQUESTS_CA_BUNDLE"] = str(services.ca_path)
tts_endpoint = services.speech_url + TTS_PATH
text = "Many calls at once."
# A recording the stand-in spoke (its transcription is the text), and one it
# did not make (cloning hands it back as it is, with no synthesis per call).
spoken = requests.post(tts_endpoint, json={"data": [text, "en-us", "1", "1", "1", "0"]}, timeout=60).json()
recording = spoken["data"]["convert_result"][0]["oss_url"]
(services.audio_dir / "reference.wav").write_bytes(audio.tone(20))
reference = services.speech_url + "/tts/audio/reference.wav"
base = "http://app.test/"

calls = {
    "generate_tts": lambda: dorvane.generate_tts(text, "en-us", base_url=base, tts_endpoint=tts_endpoint),
    "clone_voice": lambda: dorvane.clone_voice(reference, "v1", services.speech_url + CLONE_PATH,
                                               base_url=base),
    "transcribe_audio": lambda: dorvane.transcribe_audio(recording, services.transcription_url + TRANSCRIBE_PATH),
}


def expected(name, result):
    if not isinstance(result, dict) or "error" in result:
        return False
    if name == "generate_tts":
        link = result["data"]["convert_result"][0]["oss_url"]
        return link.startswith(base + "output/tts/tts-") and os.path.getsize(link[len(base):]) > 44
    if name == "clone_voice":
        link = result["data"]
        return link.startswith(base + "output/clone/clone-") and os.path.getsize(link[len(base):]) > 44
    return result == {"transcription": text}


start = time.monotonic()
jobs = [(name, gevent.spawn(call)) for name, call in calls.items() for _ in range(each)]
gevent.joinall([job for _, job in jobs])
elapsed = time.monotonic() - start
outcome = {"elapsed": elapsed, "sleep is gevent's": dorvane.time.sleep is gevent.sleep, "right": {}, "wrong": []}
for name, job in jobs:
    if job.successful() and expected(name, job.value):
        outcome["right"][name] = outcome["right"].get(name, 0) + 1
    elif len(outcome["wrong"]) < 3:
        outcome["wrong"].append([name, repr(job.value if job.ready() else "still running"), repr(job.exception)])
services.close()
print(json.dumps(outcome), file=report)
"""


@pytest.mark.real_wait
def test_greenlets_wait_together_under_gevent(child, tmp_path):
    pytest.importorskip("gevent", reason="gevent is not installed (pip install -r requirements-demo.txt)")
    pytest.importorskip("trustme")
    # Bounded: a module that blocked the thread in its wait would hold up
    # every greenlet, the stand-in's included, for a wait per call.
    done = child(CHILD, EACH, tmp_path / "standin", timeout=12 * WAIT)
    outcome = json.loads(done.splitlines()[-1])
    assert outcome["sleep is gevent's"]
    assert outcome["wrong"] == []
    assert outcome["right"] == {"generate_tts": EACH, "clone_voice": EACH, "transcribe_audio": EACH}
    # The waits were real, and they overlapped: one after another, 140 of
    # them would take 1,400 seconds.
    assert WAIT <= outcome["elapsed"] < 3 * WAIT, outcome["elapsed"]
