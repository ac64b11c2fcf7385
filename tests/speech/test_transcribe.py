"""transcribe_audio against a local transcription service."""

import json
import threading
import time
import types

import pytest
import requests

ENDPOINT = "/transcribe"


@pytest.fixture
def transcribe(dorvane, service):
    return service(dorvane.transcribe_audio, ENDPOINT, "stt_endpoint", audio_url="http://in.test/talk.wav")


@pytest.mark.parametrize("audio_url", ["http://in.test/talk.wav", "", "  padded url \n", "ü?a=1&b= 2", 7, None])
def test_request_body_as_received(transcribe, httpserver, sleeps, audio_url):
    assert transcribe({"transcription": "hi"}, audio_url=audio_url, timeout=5) == {"transcription": "hi"}
    request = httpserver.log[0][0]
    assert request.headers["Content-Type"] == "application/json"
    assert json.loads(request.get_data()) == {"url": audio_url}
    assert sleeps == [10]


@pytest.mark.parametrize("status", [500, 503, 404, 400])
def test_error_status(transcribe, httpserver, sleeps, status):
    httpserver.expect_request(ENDPOINT).respond_with_data("overloaded", status=status)
    assert transcribe() == {"error": "Request failed: GPU Overload"}
    assert sleeps == []


def test_refused_connection(transcribe, refused_url, sleeps):
    assert transcribe(stt_endpoint=refused_url + ENDPOINT) == {"error": "Request failed: GPU Overload"}
    assert sleeps == []


def test_stalled_service(transcribe, stalled_url, sleeps):
    assert transcribe(stt_endpoint=stalled_url, timeout=1) == {"error": "Server did not respond within 1 seconds."}
    assert sleeps == []


@pytest.mark.parametrize(
    "raised, timeout, message",
    [
        (requests.exceptions.ConnectTimeout("connect slow"), 200, "Server did not respond within 200 seconds."),
        (requests.exceptions.ReadTimeout("slow"), 2.5, "Server did not respond within 2.5 seconds."),
        (requests.exceptions.Timeout("slow"), "7", "Server did not respond within 7 seconds."),
        (requests.exceptions.InvalidURL("bad"), 200, "Request failed: GPU Overload"),
        (requests.exceptions.ChunkedEncodingError("cut"), 200, "Request failed: GPU Overload"),
    ],
)
def test_client_failure_messages(transcribe, dorvane, monkeypatch, sleeps, raised, timeout, message):
    def post(*args, **kwargs):
        raise raised

    monkeypatch.setattr(dorvane, "requests", types.SimpleNamespace(post=post))
    assert transcribe(timeout=timeout) == {"error": message}
    assert sleeps == []


class Unrelated(Exception):
    pass


class Reply:
    def __init__(self, error, where):
        self.error, self.where = error, where

    def raise_for_status(self):
        if self.where == "status":
            raise self.error

    def json(self):
        raise self.error


@pytest.mark.parametrize("where", ["post", "status", "json"])
def test_other_exceptions_pass_through(transcribe, dorvane, monkeypatch, sleeps, where):
    error = Unrelated("not the client's")

    def post(url, json, timeout):
        if where == "post":
            raise error
        return Reply(error, where)

    monkeypatch.setattr(dorvane, "requests", types.SimpleNamespace(post=post))
    with pytest.raises(Unrelated) as excinfo:
        transcribe()
    assert excinfo.value is error
    assert sleeps == []


@pytest.mark.parametrize("body", ["plain words", "", "{'single': 'quotes'}"])
def test_body_not_json(transcribe, httpserver, sleeps, body):
    httpserver.expect_request(ENDPOINT).respond_with_data(body, content_type="text/plain")
    assert transcribe() == {"error": "Response is not JSON"}
    assert sleeps == []


@pytest.mark.parametrize(
    "answer, text",
    [
        ({}, "No transcription found"),
        ({"text": "elsewhere", "lang": "en"}, "No transcription found"),
        ({"id": 3, "transcription": "   hello there  \n", "score": 0.9}, "hello there"),
        ({"transcription": "\t\r\n line one\nline two \u3000"}, "line one\nline two"),
        ({"transcription": ""}, ""),
        ({"transcription": " \n "}, ""),
    ],
)
def test_transcription(transcribe, sleeps, answer, text):
    assert transcribe(answer) == {"transcription": text}
    assert sleeps == [10]


@pytest.mark.parametrize("answer", [[], ["transcription"], "text", 1, None])
def test_answer_not_an_object_raises_without_wait(transcribe, sleeps, answer):
    with pytest.raises(AttributeError):
        transcribe(answer)
    assert sleeps == []


@pytest.mark.parametrize("value", [5, None, ["a"], {"t": "x"}])
def test_non_text_transcription_raises_after_wait(transcribe, sleeps, value):
    with pytest.raises(AttributeError):
        transcribe({"transcription": value})
    assert sleeps == [10]


@pytest.mark.parametrize(
    "remove, message",
    [
        ("models", "Code is not complete. 'models' folder is missing."),
        ("models/whisper_model.safetensors", "Files not found in 'models': whisper_model.safetensors"),
        ("zonos", "Code is not complete. 'zonos' folder is missing."),
    ],
)
def test_incomplete_installation(transcribe, httpserver, installation, sleeps, remove, message):
    installation.remove(remove)
    assert transcribe({"transcription": "x"}) == ({"error": message}, 400)
    assert httpserver.log == []
    assert sleeps == []


@pytest.mark.real_wait
def test_threads_wait_together(dorvane, httpserver):
    # Two calls with the real 10-second wait: a wait that holds the
    # interpreter lock would make them take 20 seconds together.
    httpserver.expect_request(ENDPOINT).respond_with_json({"transcription": " words "})
    results = []
    threads = [
        threading.Thread(target=lambda: results.append(dorvane.transcribe_audio("u", httpserver.url_for(ENDPOINT))))
        for _ in range(2)
    ]
    start = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert time.monotonic() - start < 20
    assert results == [{"transcription": "words"}] * 2
