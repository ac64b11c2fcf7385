"""Many web workers fetching audio of one name at once: each call gets its
own documented answer, and the file ends up as one complete download, never
a mix of several or a cut one."""

import threading
from concurrent.futures import ThreadPoolExecutor, wait

import pytest
from scripted_server import json_response, leftovers, resources, response

WORKERS = 32
SIZE = 300_000
BASE = "http://h/"


@pytest.fixture
def audio_service(scripted):
    """Serves voice.wav with a body of its own for every request (one byte
    value repeated), holding each answer until all downloads have asked, so
    that the writes overlap."""
    scripted.bodies = []
    lock = threading.Lock()
    arrived = threading.Barrier(WORKERS, timeout=10)

    def audio(request):
        with lock:
            body = bytes([len(scripted.bodies)]) * SIZE
            scripted.bodies.append(body)
        try:
            arrived.wait()
        except threading.BrokenBarrierError:
            pass
        return response(body, content_type="audio/wav")

    link = scripted.url + "/files/voice.wav"
    scripted.route("/files/", audio)
    scripted.route("/tts", lambda r: json_response({"data": {"convert_result": [{"oss_url": link}], "n": 1}}))
    scripted.route("/cln", lambda r: json_response({"data": link, "n": 2}))
    return scripted


def run_workers(calls):
    """Each call on a thread of its own, all let go at once; what each
    returned, or what it raised."""
    start = threading.Barrier(len(calls))

    def work(call):
        start.wait()
        return call()

    with ThreadPoolExecutor(len(calls)) as pool:
        futures = [pool.submit(work, call) for call in calls]
        assert not wait(futures, timeout=60).not_done
    return [future.exception() or future.result() for future in futures]


@pytest.mark.parametrize("mix", ["generate_tts", "clone_voice", "both into one folder"])
def test_concurrent_downloads_of_one_name(dorvane, audio_service, sleeps, mix):
    url = audio_service.url

    def tts():
        return dorvane.generate_tts("hi", "v", base_url=BASE, tts_endpoint=url + "/tts", wait_time=20)

    def clone(folder):
        return lambda: dorvane.clone_voice("http://x/ref.wav", "v", url + "/cln", 20, folder, BASE)

    if mix == "generate_tts":
        calls, folder = [tts] * WORKERS, "output/tts"
    elif mix == "clone_voice":
        calls, folder = [clone("output/clone/")] * WORKERS, "output/clone"
    else:
        calls, folder = [tts, clone("output/tts")] * (WORKERS // 2), "output/tts"

    before = resources()
    results = run_workers(calls)
    audio_service.wait_idle()
    assert resources() == before

    link = BASE + folder + "/voice.wav"
    tts_answer = {"data": {"convert_result": [{"oss_url": link}], "n": 1}}
    expected = [tts_answer if call is tts else {"data": link, "n": 2} for call in calls]
    assert results == expected
    assert sleeps == [10] * calls.count(tts)
    assert len(set(audio_service.bodies)) == WORKERS
    with open(f"{folder}/voice.wav", "rb") as final:
        assert final.read() in audio_service.bodies
    assert leftovers(".") == []
