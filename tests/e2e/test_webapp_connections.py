"""The host's kept connections (webapp/connections.py), under the module's
own calls: a service that closes them, idle, after some requests or by
restarting, costs no call and hears each text once; nothing one call's
service sets rides on another call; a download left unread is not reused;
the pool holds what the worker's calls need."""

import json
import logging
import threading
import time

import pytest
import requests
from scripted_server import json_response, reset, response

AUDIO = b"RIFF" + bytes(60)
CALLS = 100


@pytest.fixture
def kept(webapp, dorvane, monkeypatch):
    """The module calling through one KeptConnections of `size` connections."""
    from webapp import connections

    made = []

    def install(size=4):
        made.append(connections.KeptConnections(size))
        monkeypatch.setattr(dorvane, "requests", made[-1])
        return made[-1]

    yield install
    for session in made:
        session.close()


def speech_routes(server, cookie=None):
    """The speech service on `server`: its answer links audio on the same
    server, on the same connection; `cookie` is set with every answer."""
    headers = [f"Set-Cookie: {cookie}"] if cookie else []

    def tts(request):
        name = f"{len(server.requests)}.wav"
        answer = {"data": {"convert_result": [{"oss_url": f"{server.url}/audio/{name}"}]}}
        return response(json.dumps(answer), headers=headers, close=False)

    server.route("/tts", tts)
    server.route("/audio/", lambda request: response(AUDIO, content_type="audio/wav", close=False))


def speak(dorvane, server, text):
    return dorvane.generate_tts(text, "v1", tts_endpoint=f"{server.url}/tts", base_url="http://host")


def spoken_texts(server):
    return [r.json()["data"][0] for r in server.requests if r.method == "POST"]


def failures(results):
    return [
        r
        for r in results
        if "error" in r or not r["data"]["convert_result"][0]["oss_url"].startswith("http://host/output/tts/")
    ]


def pause_before(i):
    """The seconds the `i`th call waits first: short of the idle server's
    second or past it, never within a fifth of a second of it."""
    return (0.5, 0.8, 1.2, 1.5)[i // 10 % 4]


@pytest.mark.parametrize(
    "scripted, between, connections",
    [
        # Closes a connection idle for a second; every tenth call waits
        # first: a new connection after each of the four pauses past the
        # second, at most one after each of the nine.
        ({"idle": 1.0}, "pause", (1 + 4, 1 + 9)),
        # Closes a connection after every third request, saying so.
        ({"idle": 30, "per_connection": 3}, None, (67, 67)),
        # Restarted before every tenth call, its port refusing connects for
        # a moment every other time.
        ({"idle": 30}, "restart", (10, 10)),
    ],
    indirect=["scripted"],
    ids=["idle", "per-connection", "restarted"],
)
def test_a_closed_kept_connection_costs_no_call_and_speaks_no_text_twice(
    dorvane, kept, scripted, between, connections
):
    kept()
    speech_routes(scripted)
    results, texts = [], [f"Call number {i}." for i in range(CALLS)]
    for i, text in enumerate(texts):
        if i and i % 10 == 0 and between == "pause":
            time.sleep(pause_before(i))
        if i and i % 10 == 0 and between == "restart":
            scripted.restart(down=(0.0, 0.3)[i // 10 % 2])
        results.append(speak(dorvane, scripted, text))

    assert failures(results) == []
    # Each text reached the service once: no request that got there was sent again.
    assert spoken_texts(scripted) == texts
    low, high = connections
    assert low <= scripted.accepted <= high


@pytest.mark.parametrize("scripted", [{"idle": 30}], indirect=True)
@pytest.mark.parametrize(
    "ending",
    [lambda conn, server: conn.close(), lambda conn, server: reset(conn)],
    ids=["hung-up", "reset"],
)
def test_a_request_that_reached_the_service_is_not_sent_again(dorvane, kept, scripted, ending):
    # The service reads the text, then its connection ends without an
    # answer: the text may have been spoken, so the call fails rather than
    # speak it again.
    kept()
    speech_routes(scripted)
    assert failures([speak(dorvane, scripted, "Spoken before.")]) == []
    scripted.route("/tts", lambda request: ending)
    failed = speak(dorvane, scripted, "Spoken once.")
    assert failed["error"].startswith("Request failed:"), failed
    assert spoken_texts(scripted) == ["Spoken before.", "Spoken once."]


@pytest.mark.parametrize(
    "cookie",
    [
        "session=secret",
        "session=secret; Path=/; Max-Age=3600",
        "session=secret; Domain=127.0.0.1; Path=/tts",
        "session=secret; HttpOnly; SameSite=None",
    ],
)
@pytest.mark.parametrize("scripted", [{"idle": 30}], indirect=True)
def test_a_cookie_a_service_sets_rides_on_no_other_call(dorvane, kept, scripted, cookie):
    kept()
    speech_routes(scripted, cookie=cookie)
    for text in ("First caller's text.", "Second caller's text."):
        assert failures([speak(dorvane, scripted, text)]) == []
    assert all("cookie" not in r.headers for r in scripted.requests), [r.headers for r in scripted.requests]


@pytest.mark.parametrize("scripted", [{"idle": 30}], indirect=True)
def test_the_session_sends_what_requests_alone_sends(dorvane, kept, scripted, monkeypatch):
    # The same two calls, through the library and through the kept session:
    # the service sees the same headers, so the session adds nothing of its own.
    speech_routes(scripted)
    monkeypatch.setattr(dorvane, "requests", requests)
    speak(dorvane, scripted, "Through the library.")
    alone = [r.headers for r in scripted.requests]
    scripted.requests.clear()
    kept()
    speak(dorvane, scripted, "Through the library.")
    assert [r.headers for r in scripted.requests] == alone


class FailingFile:
    """A file whose first write fails, as a full disk's would."""

    def __init__(self, *args):
        pass

    def write(self, data):
        raise OSError(28, "No space left on device")

    def close(self):
        pass


@pytest.mark.parametrize("scripted", [{"idle": 30}], indirect=True)
@pytest.mark.parametrize("first_download", ["read", "abandoned"])
def test_a_streamed_download_returns_its_connection_only_once_read(
    dorvane, kept, scripted, monkeypatch, tmp_path, first_download
):
    # Large enough that an abandoned body is still on the wire.
    body = b"RIFF" + bytes(4 << 20)
    scripted.route(
        "/clone", lambda request: json_response({"data": f"{scripted.url}/audio/c.wav"}, close=False)
    )
    scripted.route("/audio/", lambda request: response(body, content_type="audio/wav", close=False))
    kept()

    def clone():
        return dorvane.clone_voice(
            "http://example/in.wav", "id", tts_endpoint=f"{scripted.url}/clone", output_folder=str(tmp_path)
        )

    if first_download == "abandoned":
        monkeypatch.setattr(dorvane, "open", FailingFile, raising=False)
        assert clone() == {"error": "Failed to cloned audio"}
        monkeypatch.delattr(dorvane, "open")
    else:
        assert clone()["data"].endswith("/c.wav")
    # The next call reads its own answers, not the rest of the first body.
    again = clone()
    assert again["data"].endswith("/c.wav") and (tmp_path / "c.wav").read_bytes() == body
    assert scripted.accepted == (1 if first_download == "read" else 2)


@pytest.mark.parametrize("scripted", [{"idle": 30}], indirect=True)
def test_the_pool_keeps_a_connection_for_every_call_in_flight(dorvane, kept, scripted, caplog):
    calls, rounds = 16, 3
    kept(size=calls)
    speech_routes(scripted)
    start = threading.Barrier(calls)
    results = []

    def caller(n):
        for r in range(rounds):
            start.wait(timeout=30)
            results.append(speak(dorvane, scripted, f"Caller {n}, round {r}."))

    threads = [threading.Thread(target=caller, args=(n,)) for n in range(calls)]
    with caplog.at_level(logging.WARNING, logger="urllib3.connectionpool"):
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
    assert len(results) == calls * rounds and failures(results) == []
    assert not [r for r in caplog.records if "pool is full" in r.getMessage()]
    # The later rounds found the first round's connections in the pool.
    assert scripted.accepted <= calls
