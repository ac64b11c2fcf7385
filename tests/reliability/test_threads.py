"""Every function called from many threads at once while the module's
libraries are swapped under them: each call still gives its documented
answer. Run on a free-threaded interpreter (no interpreter lock) built with
ThreadSanitizer, with the module built with it too (scripts/tsan), any data
race in the module aborts the run; elsewhere it checks the same answers."""

import inspect
import os
import posixpath
import threading
import time
import types
from concurrent.futures import ThreadPoolExecutor, wait

import pytest
import requests
from doubles import module_copy
from scripted_server import json_response, leftovers, response

THREADS = 8
ROUNDS = int(os.environ.get("DORVANE_THREAD_ROUNDS", "4"))
BASE = "http://h/"
AUDIO = b"RIFF" + bytes(4096)


def wrapped(function):
    """The same function behind a wrapper, which the module must call."""
    return lambda *args, **kwargs: function(*args, **kwargs)


@pytest.fixture
def services(scripted):
    scripted.route("/files/", lambda r: response(AUDIO, content_type="audio/wav"))
    link = scripted.url + "/files/voice.wav"
    scripted.route("/tts", lambda r: json_response({"data": {"convert_result": [{"oss_url": link}]}}))
    scripted.route("/cln", lambda r: json_response({"data": link}))
    scripted.route("/stt", lambda r: json_response({"transcription": " words "}))
    return scripted


@pytest.fixture
def swaps(dorvane, monkeypatch):
    """The module's `time`, `requests` and `os` as a toggling thread sets
    them: each set of choices gives the same results, by other paths (the
    check's own scan or its calls, the library or a wrapper of it)."""
    sleeps = []
    # The load routine's clock runs a million times fast, so its ten
    # seconds take ten microseconds.
    clocks = [module_copy(time, sleep=sleeps.append, time=lambda: time.monotonic() * 1e6) for _ in range(2)]
    clients = [requests, module_copy(requests, get=wrapped(requests.get), post=wrapped(requests.post))]
    systems = [
        os,
        module_copy(os, path=module_copy(posixpath, isdir=wrapped(posixpath.isdir))),
        module_copy(os, stat=wrapped(os.stat)),
        module_copy(os, path=module_copy(posixpath, dirname=wrapped(posixpath.dirname))),
    ]
    tensor_library = types.SimpleNamespace(
        cuda=types.SimpleNamespace(is_available=lambda: False, empty_cache=lambda: None),
        device=str,
        randn=lambda count, device: 1.0,
        randn_like=lambda tensor: 1.0,
    )
    monkeypatch.setattr(dorvane, "torch", tensor_library)
    monkeypatch.setattr(dorvane, "print", lambda *args: None, raising=False)
    monkeypatch.setattr(dorvane, "time", clocks[0])

    def toggle(step):
        dorvane.time = clocks[step % len(clocks)]
        dorvane.requests = clients[step % len(clients)]
        dorvane.os = systems[step % len(systems)]

    monkeypatch.setattr(dorvane, "requests", requests)
    monkeypatch.setattr(dorvane, "os", os)
    return types.SimpleNamespace(toggle=toggle, sleeps=sleeps)


def test_every_function_from_many_threads_while_patched(dorvane, services, swaps):
    url = services.url
    link = BASE + "output/tts/voice.wav"
    # One mapping every thread passes while another thread changes it.
    shared = {"models": ["whisper_model.safetensors"], "token": ["tokenizer.json"]}
    complete = {"status": True}
    gpu = {"error": "A100 GPU is required to run this code."}

    def check_shared():
        result = dorvane.check_project_structure(shared)
        assert result == complete or set(result) == {"error"}, result

    def binding_error():
        with pytest.raises(TypeError):
            dorvane.generate_tts("hi")

    def attributes():
        assert list(inspect.signature(dorvane.clone_voice).parameters)[0] == "audio_url"
        assert dorvane.transcribe_audio.__defaults__[1] == 200
        assert dorvane.gen_music.__module__ == "dorvane"

    calls = [
        (lambda: dorvane.check_project_structure(), complete),
        (check_shared, None),
        (
            lambda: dorvane.generate_tts("hi", "v", base_url=BASE, tts_endpoint=url + "/tts", wait_time=20),
            {"data": {"convert_result": [{"oss_url": link}]}},
        ),
        (
            lambda: dorvane.clone_voice("http://x/ref.wav", "v", url + "/cln", 20, "output/clone/", BASE),
            {"data": BASE + "output/clone/voice.wav"},
        ),
        (lambda: dorvane.transcribe_audio("http://x/a.wav", url + "/stt", 20), {"transcription": "words"}),
        (lambda: dorvane.gen_music("tune"), gpu),
        (lambda: dorvane.sep_music("http://x/a.wav"), gpu),
        (lambda: dorvane.run_mod(1), None),
        (binding_error, None),
        (attributes, None),
    ]
    waits = 4  # generate_tts, transcribe_audio and the two placeholders

    failures = []
    done = threading.Event()
    start = threading.Barrier(THREADS + 2)

    def work(offset):
        start.wait()
        try:
            for _ in range(ROUNDS):
                # Each thread walks the table from its own place, so every
                # function runs beside every other.
                for i in range(len(calls)):
                    call, expected = calls[(offset + i) % len(calls)]
                    result = call()
                    assert result == expected, result
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    def toggle():
        start.wait()
        step = 0
        try:
            while not done.is_set():
                step += 1
                swaps.toggle(step)
                # The dict keeps its size (a plain def iterating it would
                # raise otherwise); its values are replaced, dropping the old
                # lists, and a list grows and shrinks.
                files = shared["token"]
                if step % 2:
                    files.append("missing.json")
                else:
                    files.pop()
                shared["models"] = list(shared["models"])
                time.sleep(0.0005)
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    with ThreadPoolExecutor(THREADS + 1) as pool:
        workers = [pool.submit(work, i) for i in range(THREADS)]
        toggler = pool.submit(toggle)
        start.wait()
        finished = wait(workers, timeout=240)
        done.set()
        assert not wait([toggler], timeout=10).not_done
    assert not finished.not_done
    assert failures == []
    assert len(swaps.sleeps) == THREADS * ROUNDS * waits
    assert set(swaps.sleeps) == {10}
    services.wait_idle()
    with open("output/tts/voice.wav", "rb") as tts, open("output/clone/voice.wav", "rb") as clone:
        assert tts.read() == clone.read() == AUDIO
    assert leftovers(".") == []
