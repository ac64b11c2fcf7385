"""transcribe_audio against a local transcription service."""

import json
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from support.defaults import TRANSCRIBE_PATH

ENDPOINT = TRANSCRIBE_PATH


@pytest.fixture
def transcribe(calling):
    return calling("transcribe_audio")


@pytest.mark.parametrize(
    "audio_url", ["http://in.test/talk.wav", "", "  padded url \n", "ü?a=1&b= 2", 7, None]
)
def test_request_body_as_received(transcribe, httpserver, sleeps, audio_url):
    assert transcribe({"transcription": "hi"}, audio_url=audio_url, timeout=5) == {"transcription": "hi"}
    request = httpserver.log[0][0]
    assert request.headers["Content-Type"] == "application/json"
    assert json.loads(request.get_data()) == {"url": audio_url}
    assert sleeps == [10]


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


@pytest.mark.parametrize("value", [5, None, ["a"], {"t": "x"}])
def test_non_text_transcription_raises_after_wait(transcribe, sleeps, value):
    with pytest.raises(AttributeError):
        transcribe({"transcription": value})
    assert sleeps == [10]


@pytest.mark.real_wait
def test_threads_wait_together(dorvane, httpserver):
    # Two calls with the real 10-second wait: a wait that holds the
    # interpreter lock would make them take 20 seconds together.
    httpserver.expect_request(ENDPOINT).respond_with_json({"transcription": " words "})
    start = time.monotonic()
    with ThreadPoolExecutor(2) as pool:
        results = list(
            pool.map(lambda _: dorvane.transcribe_audio("u", httpserver.url_for(ENDPOINT)), range(2))
        )
    assert time.monotonic() - start < 20
    assert results == [{"transcription": "words"}] * 2
