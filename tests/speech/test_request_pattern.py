"""What the three operations share after the installation gate (whose
refusals test_installation.py tests): a POST to the service whose failures
(an error status, a refused connection, a client error, an answer that is
not a JSON object) come back as error payloads, while any other exception
passes through as it is. A stalled service is test_faults.py's."""

from pathlib import Path

import pytest
import requests
from doubles import Interrupt, Unrelated, client
from operations import OPERATIONS, REQUESTING

LINK = "http://files.test/a.wav"


@pytest.fixture(params=REQUESTING, ids=str)
def op(request):
    return request.param


@pytest.fixture
def call(op, calling):
    return calling(op.name)


def left_behind():
    return sorted(str(path) for path in Path().rglob("*"))


@pytest.mark.parametrize(
    "status, reason",
    [
        (500, "INTERNAL SERVER ERROR"),
        (503, "SERVICE UNAVAILABLE"),
        (404, "NOT FOUND"),
        (403, "FORBIDDEN"),
        (400, "BAD REQUEST"),
    ],
)
def test_error_status(op, call, httpserver, sleeps, status, reason):
    httpserver.expect_request(op.request.path).respond_with_data("busy", status=status)
    kind = "Server" if status >= 500 else "Client"
    url = httpserver.url_for(op.request.path)
    assert call() == {"error": op.request.failed(f"{status} {kind} Error: {reason} for url: {url}")}
    assert len(httpserver.log) == 1
    assert left_behind() == op.leaves
    assert sleeps == []


def test_refused_connection(op, call, refused_url, sleeps):
    result = call(**{op.request.endpoint: refused_url + op.request.path})
    if op.request.quotes_client:
        assert list(result) == ["error"]
        assert result["error"].startswith(op.request.failed("HTTPConnectionPool(host='127.0.0.1'"))
        assert "Connection refused" in result["error"]
    else:
        assert result == {"error": op.request.failed("")}
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
    message = op.request.timed_out.format(seconds) if timed_out else op.request.failed(str(raised))
    assert call(**{op.request.timeout: seconds}) == {"error": message}
    assert sleeps == []


@pytest.mark.parametrize(
    "body", ["plain words", "", "<html>oops</html>", "{broken", "[1, 2", "{'single': 'quotes'}"]
)
def test_body_not_json(op, call, httpserver, sleeps, body):
    httpserver.expect_request(op.request.path).respond_with_data(body, content_type="text/plain")
    expected = [("error", "Response is not JSON")] + [("raw_response", body)] * op.request.raw_response
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
    *(
        (op, where, Unrelated("not the client's"))
        for op in REQUESTING
        for where in ("post", "status", "json")
    ),
    (OPERATIONS["generate_tts"], "get", Unrelated("not the client's")),
    (OPERATIONS["generate_tts"], "content", Unrelated("not the client's")),
    (OPERATIONS["clone_voice"], "get", Interrupt()),
    (OPERATIONS["clone_voice"], "body", Interrupt()),
]


@pytest.mark.parametrize(
    "op, where, error", PASSING_THROUGH, ids=[f"{op}-{where}" for op, where, _ in PASSING_THROUGH]
)
def test_other_exceptions_pass_through(op, call, dorvane, monkeypatch, sleeps, where, error):
    monkeypatch.setattr(dorvane, "requests", client(op.request.linked(LINK), error, where))
    with pytest.raises(type(error)) as excinfo:
        call()
    assert excinfo.value is error
    assert sleeps == []
