"""Whatever a remote service answers, the speech operations give a payload
or one of the exceptions they let through, and write nothing but complete
files inside their output folder."""

import json
import os
import tempfile
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from scripted_server import ScriptedServer, leftovers, response

BASE = "http://files.example/"

SETTINGS = settings(
    max_examples=60,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


class Service(ScriptedServer):
    """Answers the POST of an operation with the body a test sets, and any
    file under /files/ with a body derived from its path, remembering every
    body it handed out."""

    def __init__(self):
        super().__init__()
        self.answer = b"{}"
        self.served = set()
        self.route("/answer", self._answer)
        self.route("/files/", self._file)

    def _answer(self, request):
        body = self.answer
        if isinstance(body, tuple):  # (bytes, declared length): a truncated answer
            body, length = body
            head = f"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: {length}\r\n\r\n"
            return head.encode() + body
        return response(body)

    def _file(self, request):
        if "missing" in request.path:
            return response(b"gone", 404, "text/plain")
        body = b"audio " + request.path.encode("latin-1") * 3
        self.served.add(body)
        return response(body, content_type="audio/wav")


@pytest.fixture(scope="module")
def service():
    server = Service()
    yield server
    server.close()


JSON_SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=10**40, max_value=10**300),
    st.floats(),
    st.text(max_size=20),
)
JSON_VALUES = st.recursive(
    JSON_SCALARS,
    lambda children: (
        st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=8), children, max_size=4)
    ),
    max_leaves=12,
)


def encode(value, ascii_only):
    """JSON text of `value` as bytes; a lone surrogate written unescaped is
    itself invalid UTF-8, which is wanted here."""
    return json.dumps(value, ensure_ascii=ascii_only).encode("utf-8", "surrogatepass")


KINDS = ["json", "shaped", "duplicate", "deep", "number", "bytes", "truncated"]


@st.composite
def raw_answers(draw, shaped, kinds):
    """Bodies a broken or hostile service might send: any JSON value, the
    operation's own shape with odd members, duplicate keys, deep nesting,
    numbers past every limit, bytes that are not UTF-8, truncated bodies."""
    kind = draw(st.sampled_from(kinds))
    if kind == "json":
        return encode(draw(JSON_VALUES), draw(st.booleans()))
    if kind == "shaped":
        return encode(draw(shaped), draw(st.booleans()))
    if kind == "duplicate":
        first, second = draw(shaped), draw(shaped)

        def inner(v):
            return encode(v, True)[1:-1] if isinstance(v, dict) and v else b'"x": 1'

        return b"{" + inner(first) + b", " + inner(second) + b", " + inner(first) + b"}"
    if kind == "deep":
        depth = draw(st.integers(1, 100_000))
        opener, closer = draw(st.sampled_from([(b"[", b"]"), (b'{"data": ', b"}")]))
        return opener * depth + b"1" + closer * depth
    if kind == "number":
        digits = draw(st.integers(1, 20_000))
        return (
            draw(st.sampled_from([b"", b'{"data": ', b'{"transcription": ']))
            + b"9" * digits
            + draw(st.sampled_from([b"", b"e999", b".5e-99999"]))
            + b"}"
        )
    if kind == "bytes":
        return draw(st.binary(max_size=64))
    body = encode(draw(shaped), True)
    cut = draw(st.integers(0, max(len(body) - 1, 0)))
    # Either the length header admits the cut, or promises the whole body.
    return (body[:cut], draw(st.sampled_from([cut, len(body)])))


def file_names():
    return st.one_of(
        st.text("ab.- _~%", min_size=1, max_size=8),
        st.text(max_size=30),
        st.sampled_from(
            [
                "",
                ".",
                "..",
                "a/..",
                "../escape.wav",
                "../../escape.wav",
                "x/",
                "%2e%2e",
                "..%2fescape.wav",
                "\\..\\escape.wav",
                "missing.wav",
                "voice 1.wav",
                "clip.wav?sig=1#frag",
                "a" * 300,
                "nul\x00.wav",
                "\ud800.wav",
            ]
        ),
    )


def links(service):
    """What a service may name as an audio link: one of its files by any
    name, a text that is no URL (never one leading off this machine), or a
    value that is not text at all."""
    served = file_names().map(lambda name: f"{service.url}/files/{name}")
    return st.one_of(served, served, served, st.text(max_size=20).filter(lambda t: ":" not in t), JSON_VALUES)


def tts_answers(service, mixed):
    entry = st.fixed_dictionaries(
        {"oss_url": links(service)}, optional={"id": JSON_VALUES, "duration": st.floats()}
    )
    item = st.one_of(entry, JSON_VALUES)
    entries = st.lists(item, min_size=1, max_size=4)
    if not mixed:
        return st.fixed_dictionaries({"data": st.fixed_dictionaries({"convert_result": entries})})
    result = st.one_of(entries, JSON_VALUES)
    data = st.one_of(
        st.fixed_dictionaries({"convert_result": result}, optional={"extra": JSON_VALUES}),
        st.fixed_dictionaries({}, optional={"extra": JSON_VALUES}),
        JSON_VALUES,
    )
    return st.fixed_dictionaries({"data": data}, optional={"code": st.integers()})


def clone_answers(service, mixed):
    return st.fixed_dictionaries({"data": links(service)}, optional={"msg": st.text(max_size=10)})


def transcribe_answers(service, mixed):
    return st.fixed_dictionaries(
        {}, optional={"transcription": st.one_of(st.text(), JSON_VALUES), "language": st.text(max_size=5)}
    )


def call_in_sandbox(tmp_path, call):
    """Runs `call` with the current directory in a fresh folder inside a
    fresh sandbox; returns its result or exception and what it left where."""
    sandbox = Path(tempfile.mkdtemp(dir=tmp_path))
    work = sandbox / "work"
    work.mkdir()
    previous = os.getcwd()
    os.chdir(work)
    try:
        try:
            outcome = call()
        except Exception as error:  # noqa: BLE001 - sorted out by the caller
            outcome = error
    finally:
        os.chdir(previous)
    escaped = [str(p.relative_to(sandbox)) for p in sandbox.rglob("*") if work not in (p, *p.parents)]
    written = {p.relative_to(work): p.read_bytes() for p in work.rglob("*") if p.is_file()}
    return outcome, escaped, written, leftovers(sandbox)


def check_files(service, escaped, written, parts, folder):
    assert escaped == [] and parts == []
    assert folder is not None or written == {}
    for path, content in written.items():
        assert path.parent == Path(folder), path
        assert content in service.served, path


def linked_file(link, written):
    """The written file that a returned link names. Links turn every
    backslash of the path into a slash, so a name holding one is matched
    through that same mapping."""
    names = {BASE + str(path).replace("\\", "/"): path for path in written}
    assert link in names, (link, sorted(names))
    return written[names[link]]


def tts_links(outcome):
    """The links of a generate_tts payload; none in its own error payload."""
    if (
        "error" in outcome
        and len(outcome) == 1
        and isinstance(outcome["error"], str)
        and not outcome["error"].startswith("Error downloading")
    ):
        return []
    return [
        item.get("oss_url") for item in outcome["data"].get("convert_result", []) if isinstance(item, dict)
    ]


def transcription_links(outcome):
    """None: a transcription writes no file, and answers one text."""
    assert len(outcome) == 1
    assert isinstance(outcome.get("transcription", outcome.get("error")), str)
    return []


@dataclass
class Operation:
    answers: Callable  # the strategy of a service's answers, given the service and whether mixed
    call: Callable  # the call, given the module and the service's answer URL
    folder: str | None  # where its files go
    raises: tuple  # the exceptions it lets through
    links: Callable  # the links its payload gives to the files it wrote


OPERATIONS = {
    "generate_tts": Operation(
        tts_answers,
        lambda dorvane, url: dorvane.generate_tts("hi", "v1", base_url=BASE, tts_endpoint=url, wait_time=5),
        "output/tts",
        # Not an object; a true "oss_url" that is not text; a file that
        # cannot be made under that name (OSError, or ValueError for a NUL or
        # a lone surrogate in it); a nesting past the recursion limit.
        (AttributeError, TypeError, OSError, ValueError, RecursionError),
        tts_links,
    ),
    "clone_voice": Operation(
        clone_answers,
        lambda dorvane, url: dorvane.clone_voice("http://x/ref.wav", "v1", url, 5, base_url=BASE),
        "output/clone",
        (AttributeError, RecursionError),
        lambda outcome: [outcome.get("data")],
    ),
    "transcribe_audio": Operation(
        transcribe_answers,
        lambda dorvane, url: dorvane.transcribe_audio("http://x/a.wav", url, 5),
        None,
        # Not an object, a transcription without `strip`, or too deep.
        (AttributeError, RecursionError),
        transcription_links,
    ),
}


@pytest.mark.parametrize("kinds", [KINDS, ["shaped"]], ids=["any", "shaped"])
@pytest.mark.parametrize("name", OPERATIONS)
@SETTINGS
@given(data=st.data())
def test_a_speech_operation_survives_any_answer(dorvane, service, tmp_path, name, kinds, data):
    operation = OPERATIONS[name]
    service.answer = data.draw(raw_answers(operation.answers(service, kinds != ["shaped"]), kinds))
    outcome, escaped, written, parts = call_in_sandbox(
        tmp_path, lambda: operation.call(dorvane, service.url + "/answer")
    )
    check_files(service, escaped, written, parts, operation.folder)
    if isinstance(outcome, Exception):
        assert isinstance(outcome, operation.raises), outcome
        assert not isinstance(outcome, json.JSONDecodeError)
        return
    assert type(outcome) is dict
    for link in operation.links(outcome):
        if isinstance(link, str) and link.startswith(f"{BASE}{operation.folder}/"):
            assert linked_file(link, written) in service.served
