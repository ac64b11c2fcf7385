"""What the three operations share: the installation gate, then a POST to
the service whose failures (an error status, a refused or stalled
connection, a client error, an answer that is not a JSON object) come back
as error payloads, while any other exception passes through as it is."""

from dataclasses import dataclass, field
from pathlib import Path

import pytest
import requests

from support.defaults import CLONE_PATH, TRANSCRIBE_PATH, TTS_PATH
from doubles import Interrupt, Unrelated, client

BASE = "http://app.test:5000/"


@dataclass
class Operation:
    function: str
    path: str  # where the local service answers
    endpoint: str  # the argument that names the service's URL
    timeout: str  # the argument that bounds the request
    defaults: dict
    timed_out: str  # the error of a request that ran out of time, to format with the seconds
    quotes_client: bool  # whether "Request failed: " goes on with what the client said
    raw_response: bool  # whether a body that is not JSON comes back beside the error
    linked: dict  # an answer naming a file to download
    leaves: list = field(default_factory=list)  # what a refused request leaves in the current folder

    def failed(self, detail):
        return "Request failed: " + (detail if self.quotes_client else "GPU Overload")

    def __str__(self):
        return self.function


OPERATIONS = {
    op.function: op
    for op in [
        Operation("generate_tts", TTS_PATH, "tts_endpoint", "wait_time",
                  {"text": "hello", "voice_id": "v1", "base_url": BASE},
                  "TTS server did not respond within {} seconds.", quotes_client=True, raw_response=False,
                  linked={"data": {"convert_result": [{"oss_url": "http://files.test/a.wav"}]}}),
        # The cloning folder is made before anything else, the gate included.
        Operation("clone_voice", CLONE_PATH, "tts_endpoint", "timeout",
                  {"audio_url": "http://in.test/voice.wav", "clone_voice_id": "id-1", "base_url": BASE},
                  "Server did not respond within {} seconds.", quotes_client=True, raw_response=True,
                  linked={"data": "http://files.test/a.wav"}, leaves=["output", "output/clone"]),
        Operation("transcribe_audio", TRANSCRIBE_PATH, "stt_endpoint", "timeout",
                  {"audio_url": "http://in.test/talk.wav"},
                  "Server did not respond within {} seconds.", quotes_client=False, raw_response=False,
                  linked={"transcription": "words"}),
    ]
}


@pytest.fixture(params=OPERATIONS.values(), ids=str)
def op(request):
    return request.param


@pytest.fixture
def call(op, dorvane, service):
    return service(getattr(dorvane, op.function), op.path, op.endpoint, **op.defaults)


def left_behind():
    return sorted(str(path) for path in Path().rglob("*"))


@pytest.mark.parametrize(
    "remove, message",
    [
        ("models", "Code is not complete. 'models' folder is missing."),
        ("zonos", "Code is not complete. 'zonos' folder is missing."),
        ("token/tokenizer.json", "Files not found in 'token': tokenizer.json"),
        ("token/mtl_tokenizer.json", "Files not found in 'token': mtl_tokenizer.json"),
        ("zonos/config.py", "Files not found in 'zonos': config.py"),
        ("models/whisper_model.safetensors", "Files not found in 'models': whisper_model.safetensors"),
    ],
)
def test_incomplete_installation(op, call, httpserver, installation, sleeps, remove, message):
    installation.remove(remove)
    assert call(op.linked) == ({"error": message}, 400)
    assert httpserver.log == []
    assert left_behind() == op.leaves
    assert sleeps == []


@pytest.mark.parametrize(
    "status, reason",
    [(500, "INTERNAL SERVER ERROR"), (503, "SERVICE UNAVAILABLE"), (404, "NOT FOUND"), (403, "FORBIDDEN"),
     (400, "BAD REQUEST")],
)
def test_error_status(op, call, httpserver, sleeps, status, reason):
    httpserver.expect_request(op.path).respond_with_data("busy", status=status)
    kind = "Server" if status >= 500 else "Client"
    assert call() == {"error": op.failed(f"{status} {kind} Error: {reason} for url: {httpserver.url_for(op.path)}")}
    assert len(httpserver.log) == 1
    assert left_behind() == op.leaves
    assert sleeps == []


def test_refused_connection(op, call, refused_url, sleeps):
    result = call(**{op.endpoint: refused_url + op.path})
    if op.quotes_client:
        assert list(result) == ["error"]
        assert result["error"].startswith(op.failed("HTTPConnectionPool(host='127.0.0.1'"))
        assert "Connection refused" in result["error"]
    else:
        assert result == {"error": op.failed("")}
    assert left_behind() == op.leaves
    assert sleeps == []


def test_request_stalls_past_its_time(op, call, stalled_url, sleeps):
    assert call(**{op.endpoint: stalled_url, op.timeout: 1}) == {"error": op.timed_out.format(1)}
    assert left_behind() == op.leaves
    assert sleeps == []


@pytest.mark.parametrize(
    "raised, seconds, timed_out",
    [
        (requests.exceptions.ConnectTimeout("connect slow"), 100, True),
        (requests.exceptions.ReadTimeout("read slow"), 2.5, True),
        (requests.exceptions.Timeout("slow"), "7", True),
        (requests.exceptions.ConnectionError("no route"), 10, False),
        (requests.exceptions.InvalidURL("bad url"), 10, False),
        (requests.exceptions.ChunkedEncodingError("cut"), 10, False),
    ],
)
def test_client_failure_messages(op, call, dorvane, monkeypatch, sleeps, raised, seconds, timed_out):
    monkeypatch.setattr(dorvane, "requests", client(error=raised, where="post"))
    message = op.timed_out.format(seconds) if timed_out else op.failed(str(raised))
    assert call(**{op.timeout: seconds}) == {"error": message}
    assert sleeps == []


@pytest.mark.parametrize("body", ["plain words", "", "<html>oops</html>", "{broken", "[1, 2", "{'single': 'quotes'}"])
def test_body_not_json(op, call, httpserver, sleeps, body):
    httpserver.expect_request(op.path).respond_with_data(body, content_type="text/plain")
    expected = [("error", "Response is not JSON")] + [("raw_response", body)] * op.raw_response
    assert list(call().items()) == expected
    assert left_behind() == op.leaves
    assert sleeps == []


@pytest.mark.parametrize(
    "answer", [[], [{"data": {}}], ["http://files.test/a.wav"], ["transcription"], "text", 5, None]
)
def test_answer_not_an_object_raises(call, op, sleeps, answer):
    with pytest.raises(AttributeError):
        call(answer)
    assert left_behind() == op.leaves
    assert sleeps == []


# The exchange's own steps for every operation, then the downloads' steps:
# generate_tts lets anything but the client's errors through, clone_voice
# anything that is not an Exception.
PASSING_THROUGH = [
    *((op, where, Unrelated("not the client's")) for op in OPERATIONS.values() for where in ("post", "status", "json")),
    (OPERATIONS["generate_tts"], "get", Unrelated("not the client's")),
    (OPERATIONS["generate_tts"], "content", Unrelated("not the client's")),
    (OPERATIONS["clone_voice"], "get", Interrupt()),
    (OPERATIONS["clone_voice"], "body", Interrupt()),
]


@pytest.mark.parametrize("op, where, error", PASSING_THROUGH, ids=[f"{op}-{where}" for op, where, _ in PASSING_THROUGH])
def test_other_exceptions_pass_through(op, call, dorvane, monkeypatch, sleeps, where, error):
    monkeypatch.setattr(dorvane, "requests", client(op.linked, error, where))
    with pytest.raises(type(error)) as excinfo:
        call()
    assert excinfo.value is error
    assert sleeps == []
