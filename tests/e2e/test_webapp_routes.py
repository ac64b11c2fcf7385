"""The example application's routes, in process: body validation, the mapping
of operation results to HTTP statuses, and the file routes."""

import io
import json
import re
import threading
import wave
from pathlib import Path

import pytest
from operations import OPERATIONS

from support.defaults import TTS_PATH

TOKEN = "operator-secret-7f3a"
OPERATOR = {"Authorization": f"Bearer {TOKEN}"}

VALID = {
    "/api/tts": {"text": "Hello there", "voice_id": "en-us"},
    "/api/clone": {"audio_url": "http://127.0.0.1:9/a.wav", "voice_id": "v1"},
    "/api/transcribe": {"audio_url": "http://127.0.0.1:9/a.wav"},
    "/api/music/generate": {"prompt": "calm piano"},
    "/api/music/separate": {"url": "http://127.0.0.1:9/a.wav"},
}


@pytest.fixture
def calls(dorvane, monkeypatch):
    """Replaces the module's operations with recorders, to see whether the
    application called the module at all."""
    made = []
    for name in OPERATIONS:
        monkeypatch.setattr(
            dorvane, name, lambda *a, _name=name, **k: made.append(_name) or {"recorded": _name}
        )
    return made


DEEP = b"[" * 30_000 + b"]" * 30_000


def deep_or(shape):
    """The refusal of a body nested DEEP deep: for its depth where the
    interpreter's parser refuses that (RecursionError), else for its shape.
    Before 3.14 the parser stops at the recursion limit; from 3.14 on only
    the thread's stack bounds it, and the main thread's takes this depth."""

    def message():
        try:
            json.loads(DEEP)
        except RecursionError:
            return "nested too deeply"
        return shape

    return message


def as_json(path, body, message):
    return path, json.dumps(body).encode(), "application/json", message


def raw(data, message, content_type="application/json"):
    return "/api/tts", data, content_type, message


@pytest.mark.parametrize(
    "path, data, content_type, message",
    [
        raw(b"text=hi", "must be a JSON object", content_type="application/x-www-form-urlencoded"),
        as_json("/api/tts", [], "must be a JSON object"),
        as_json("/api/tts", {}, "missing fields: text, voice_id"),
        as_json("/api/tts", {"text": "hi"}, "missing field: voice_id"),
        as_json("/api/tts", {"text": "", "voice_id": "en"}, "missing field: text"),
        as_json("/api/tts", {"text": "hi", "voice_id": None}, "missing field: voice_id"),
        as_json("/api/tts", {"text": 5, "voice_id": "en"}, "text must be a non-empty text"),
        as_json("/api/tts", {"text": "hi", "voice_id": ["en"]}, "voice_id must be a text or an integer"),
        as_json("/api/tts", {"text": "hi", "voice_id": "en", "speed": "fast"}, "speed must be a number"),
        as_json("/api/tts", {"text": "hi", "voice_id": "en", "pitch": 9}, "pitch must lie between"),
        as_json(
            "/api/tts", {"text": "hi", "voice_id": "en", "base_url": "http://x/"}, "unknown field: base_url"
        ),
        as_json("/api/clone", {"audio_url": "http://127.0.0.1/a.wav"}, "missing field: voice_id"),
        as_json("/api/clone", {"voice_id": "v"}, "missing field: audio_url"),
        as_json("/api/transcribe", {}, "missing field: audio_url"),
        as_json(
            "/api/transcribe", {"audio_url": "http://h/a.wav", "stt_endpoint": "http://x/"}, "unknown field"
        ),
        as_json("/api/music/generate", {}, "missing field: prompt"),
        as_json("/api/music/separate", {"url": "   "}, "url must be a non-empty text"),
        as_json("/api/run_mod", {}, "missing field: size"),
        as_json("/api/run_mod", {"size": True}, "size must be a number"),
        as_json("/api/run_mod", {"size": 64}, "size must lie between"),
        raw(b"{not json", "JSON object"),
        raw(DEEP, deep_or("must be a JSON object")),
        raw(b'{"text": ' + DEEP + b', "voice_id": "en"}', deep_or("text must be a non-empty text")),
        raw(b'{"text": "caf\xe9", "voice_id": "en"}', "not UTF-8"),
        raw(b'{"text": "hi", "voice_id": "en", "speed": NaN}', "NaN"),
        raw(b'{"text": "hi", "voice_id": "en", "speed": -Infinity}', "-Infinity"),
        raw(b'{"text": "hi", "voice_id": "en", "pitch": 1e400}', "out of range"),
        raw(b'{"text": "hi", "voice_id": 1' + b"0" * 5000 + b"}", "more than 20 digits"),
        raw(b'{"text": "hi", "voice_id": "en", "voice_id": "de"}', "'voice_id' appears twice"),
        raw(b'{"text": "\\ud800", "voice_id": "en"}', "text is not valid Unicode"),
        raw(b'{"text": "hi", "voice_id": "\\udfff"}', "voice_id is not valid Unicode"),
        raw(b'"hi"', "must be a JSON object"),
        raw(b"null", "must be a JSON object"),
        raw(b"", "not valid JSON"),
        raw(b'{"text": "hi", "voice_id": "en"}', "Content-Type: application/json", content_type="text/plain"),
        raw(b'{"text": "hi", "voice_id": "en"}', "Content-Type: application/json", content_type=""),
    ],
)
def test_bad_bodies_get_a_400_with_a_message_and_no_trace_before_the_module_runs(
    make_client, calls, caplog, path, data, content_type, message
):
    # Asked here, on the thread that parses the body.
    message = message() if callable(message) else message
    response = make_client(operator_token=TOKEN).post(
        path, data=data, content_type=content_type, headers=OPERATOR
    )
    assert response.status_code == 400
    assert message in response.get_json()["error"]
    assert calls == []
    assert [r for r in caplog.records if r.exc_info] == []


@pytest.mark.parametrize("path", sorted(VALID))
def test_the_gate_pair_becomes_http_400_with_the_modules_payload(make_client, installation, path):
    installation.remove("models")
    response = make_client().post(path, json=VALID[path])
    assert response.status_code == 400
    assert response.get_json() == {"error": "Code is not complete. 'models' folder is missing."}


def test_status_is_a_payload_alone_so_200_even_when_incomplete(make_client, installation):
    client = make_client()
    assert client.get("/api/status").get_json() == {"status": True}
    installation.remove("token/tokenizer.json")
    response = client.get("/api/status")
    assert response.status_code == 200
    assert response.get_json() == {"error": "Files not found in 'token': tokenizer.json"}


@pytest.mark.parametrize(
    "path, body, message",
    [
        ("/api/tts", VALID["/api/tts"], "Request failed: "),
        ("/api/clone", VALID["/api/clone"], "Request failed: "),
        ("/api/transcribe", VALID["/api/transcribe"], "Request failed: GPU Overload"),
    ],
)
def test_a_remote_failure_is_a_payload_alone_so_200(make_client, refused_url, path, body, message):
    client = make_client(speech_url=refused_url, transcription_url=refused_url)
    response = client.post(path, json=body)
    assert response.status_code == 200
    assert response.get_json()["error"].startswith(message)


def test_music_placeholders_answer_200_with_their_payload(make_client, sleeps):
    client = make_client()
    for path in ("/api/music/generate", "/api/music/separate"):
        response = client.post(path, json=VALID[path])
        assert response.status_code == 200
        assert "A100" in response.get_json()["error"]
    assert sleeps == [10, 10]


def test_an_exception_from_the_module_is_a_json_500_without_a_trace(make_client, httpserver):
    # An answer that is JSON but not an object leaves generate_tts as an exception.
    httpserver.expect_request(TTS_PATH).respond_with_json([1, 2])
    response = make_client(speech_url=httpserver.url_for("")).post("/api/tts", json=VALID["/api/tts"])
    assert response.status_code == 500
    assert "AttributeError" in response.get_json()["error"]
    assert b"Traceback" not in response.data


def _wav_ok(data):
    with wave.open(io.BytesIO(data)) as w:
        return w.getnframes() > 0


def test_text_to_speech_links_resolve_through_the_application(make_client, standin, tmp_path, sleeps):
    client = make_client(speech_url=standin.speech_url, transcription_url=standin.transcription_url)
    response = client.post("/api/tts", json={"text": "Links that resolve", "voice_id": "en-us", "speed": 1.2})
    assert response.status_code == 200
    [entry] = response.get_json()["data"]["convert_result"]
    link = entry["oss_url"]
    assert link.startswith("http://localhost/output/tts/")
    local = client.get(link.removeprefix("http://localhost"))
    assert local.status_code == 200
    name = link.rsplit("/", 1)[1]
    assert local.data == (tmp_path / "output" / "tts" / name).read_bytes()
    assert _wav_ok(local.data)
    assert sleeps == [10]

    # The local copy is the stand-in's audio byte for byte, so the stand-in
    # recognises it and answers with the words it spoke.
    said = client.post("/api/transcribe", json={"audio_url": f"{standin.speech_url}/tts/audio/{name}"})
    assert said.status_code == 200
    assert said.get_json() == {"transcription": "Links that resolve"}


def test_cloned_audio_links_resolve_through_the_application(make_client, standin, tmp_path):
    client = make_client(speech_url=standin.speech_url)
    spoken = client.post("/api/tts", json={"text": "Clone me", "voice_id": "en-us"}).get_json()
    name = spoken["data"]["convert_result"][0]["oss_url"].rsplit("/", 1)[1]
    response = client.post(
        "/api/clone", json={"audio_url": f"{standin.speech_url}/tts/audio/{name}", "voice_id": "v7"}
    )
    assert response.status_code == 200
    link = response.get_json()["data"]
    assert link.startswith("http://localhost/output/clone/")
    local = client.get(link.removeprefix("http://localhost"))
    assert local.status_code == 200
    assert local.data == (tmp_path / "output" / "clone" / link.rsplit("/", 1)[1]).read_bytes()
    assert _wav_ok(local.data)


@pytest.mark.parametrize(
    "path",
    [
        "/output/tts/..%2F..%2Fsecret.txt",
        "/output/tts/../../secret.txt",
        "/output/tts/%2e%2e/%2e%2e/secret.txt",
        "/output/tts/..%5C..%5Csecret.txt",
        "/output/clone/..",
        "/output/%2e%2e/secret.txt",
        "/output/..%2Fsecret.txt/x",
        "/output/tts/%2Ftmp%2Fsecret.txt",
        "/output/tts/.dorvane-0123.part",
        "/output/music/kept.wav",
        "/output/tts/subfolder",
    ],
)
def test_file_routes_serve_only_the_two_output_folders(make_client, tmp_path, path):
    (tmp_path / "secret.txt").write_text("SECRET")
    (tmp_path / "output" / "tts").mkdir(parents=True)
    (tmp_path / "output" / "tts" / ".dorvane-0123.part").write_text("SECRET")
    (tmp_path / "output" / "music").mkdir()
    (tmp_path / "output" / "music" / "kept.wav").write_text("SECRET")
    (tmp_path / "output" / "clone").mkdir()
    (tmp_path / "output" / "clone" / "kept.wav").write_text("served")
    (tmp_path / "output" / "tts" / "subfolder").mkdir()
    client = make_client()
    assert client.get("/output/clone/kept.wav").data == b"served"
    response = client.get(path)
    assert response.status_code == 404
    assert b"SECRET" not in response.data


@pytest.mark.parametrize(
    "method, headers, status, body",
    [
        ("GET", {}, 200, b"RIFF0123456789"),
        ("GET", {"Range": "bytes=4-7"}, 206, b"0123"),
        ("GET", {"Range": "bytes=99-"}, 416, None),
        ("HEAD", {}, 200, b""),
    ],
)
def test_output_files_are_sent_whole_or_in_ranges(make_client, tmp_path, method, headers, status, body):
    (tmp_path / "output" / "tts").mkdir(parents=True)
    (tmp_path / "output" / "tts" / "a.wav").write_bytes(b"RIFF0123456789")
    response = make_client().open("/output/tts/a.wav", method=method, headers=headers)
    assert response.status_code == status
    if body is not None:
        assert response.data == body
    if status != 416:
        assert response.headers["Content-Type"].startswith("audio/")


def test_a_cloned_file_stored_with_escaped_blanks_is_found_by_its_link(make_client, tmp_path):
    # clone_voice writes "a b.wav" as a%20b.wav and links to .../a%20b.wav;
    # the client decodes the link's %20 back into a blank.
    (tmp_path / "output" / "clone").mkdir(parents=True)
    (tmp_path / "output" / "clone" / "a%20b.wav").write_bytes(b"cloned")
    assert make_client().get("/output/clone/a%20b.wav").data == b"cloned"


@pytest.mark.parametrize(
    "configured, authorization, status",
    [
        ("", None, 404),
        ("", f"Bearer {TOKEN}", 404),
        (TOKEN, None, 401),
        (TOKEN, "Bearer", 401),
        (TOKEN, "Bearer wrong", 401),
        (TOKEN, f"Bearer {TOKEN}x", 401),
        (TOKEN, f"Bearer {TOKEN[:-1]}", 401),
        (TOKEN, f"Basic {TOKEN}", 401),
        (TOKEN, f"Bearer {TOKEN}", 200),
        (TOKEN, f"bearer {TOKEN}", 200),
    ],
)
def test_the_load_route_answers_only_the_operator(
    make_client, fake_torch, clock, configured, authorization, status
):
    torch_ = fake_torch(randn=lambda n, device: None)
    clock(0.0, 10.0)
    headers = {"Authorization": authorization} if authorization else {}
    response = make_client(operator_token=configured).post("/api/run_mod", json={"size": 1}, headers=headers)
    assert response.status_code == status
    if status == 401:
        assert response.headers["WWW-Authenticate"] == "Bearer"
    allocations = [c for c in torch_.calls if c[0] == "randn"]
    if status == 200:
        assert response.get_json() == {"status": "done", "size": 1} and len(allocations) == 1
    else:
        assert allocations == []


@pytest.mark.parametrize("second", ["same worker", "another worker"])
def test_a_second_load_is_refused_at_once_while_one_runs(make_client, fake_torch, clock, second):
    started, release = threading.Event(), threading.Event()

    def held_allocation(n, device):
        started.set()
        assert release.wait(10), "the test never let the first load finish"

    torch_ = fake_torch(randn=held_allocation)
    clock(0.0, 10.0)
    first_client = make_client(operator_token=TOKEN)
    # Two application instances in one working directory stand for two
    # gunicorn workers of one host.
    second_client = first_client if second == "same worker" else make_client(operator_token=TOKEN)
    answers = {}
    first = threading.Thread(
        target=lambda: answers.setdefault(
            "first", first_client.post("/api/run_mod", json={"size": 1}, headers=OPERATOR)
        )
    )
    first.start()
    try:
        assert started.wait(10)
        refused = second_client.post("/api/run_mod", json={"size": 1}, headers=OPERATOR)
        # Answered while the first load still holds its allocation, and
        # without allocating anything of its own.
        assert first.is_alive()
        assert refused.status_code == 409
        assert "already running" in refused.get_json()["error"]
        assert [c[0] for c in torch_.calls if c[0] == "randn"] == ["randn"]
    finally:
        release.set()
        first.join(10)
    assert answers["first"].status_code == 200

    # The lock goes with the load: the next one runs.
    clock(0.0, 10.0)
    assert second_client.post("/api/run_mod", json={"size": 1}, headers=OPERATOR).status_code == 200


@pytest.mark.parametrize(
    "settings, fields, error",
    [
        ({}, {"text": "x" * 1000}, None),
        ({}, {"text": "x" * 1001}, "text must be at most 1000 characters long, not 1001"),
        ({"max_text": 20}, {"text": "é" * 20}, None),
        ({"max_text": 20}, {"text": "é" * 21}, "text must be at most 20 characters long"),
        ({}, {"speed": 0.5}, None),
        ({}, {"speed": 0.49}, "speed must lie between 0.5 and 4"),
        ({}, {"speed": 0.25}, "speed must lie between 0.5 and 4"),
    ],
)
def test_text_length_and_speed_have_limits(make_client, calls, settings, fields, error):
    response = make_client(**settings).post("/api/tts", json={**VALID["/api/tts"], **fields})
    if error is None:
        assert response.status_code == 200 and calls == ["generate_tts"]
    else:
        assert response.status_code == 400 and calls == []
        assert error in response.get_json()["error"]


@pytest.mark.parametrize(
    "peer, forwarded, charged",
    [
        # The trusted front appends the address it saw to whatever the client sent.
        ("127.0.0.1", "1.2.3.4, 127.5.0.9", "127.5.0.0/24"),
        ("127.0.0.1", "1.2.3.4,127.5.0.9", "127.5.0.0/24"),
        ("127.0.0.1", "127.5.0.9", "127.5.0.0/24"),
        ("127.6.0.1", "127.5.0.9", "127.6.0.0/24"),  # an untrusted peer speaks for itself alone
    ],
)
def test_a_call_is_charged_to_the_address_its_trusted_proxy_added(
    make_client, calls, monkeypatch, peer, forwarded, charged
):
    client = make_client(forwarded_allow_ips="127.0.0.1")
    store = client.application.extensions["webapp.store"]
    charged_to, call = [], store.call
    monkeypatch.setattr(
        store, "call", lambda folder, size, who: charged_to.append(who) or call(folder, size, who)
    )
    response = client.post(
        "/api/tts",
        json=VALID["/api/tts"],
        environ_base={"REMOTE_ADDR": peer},
        headers={"X-Forwarded-For": forwarded},
    )
    assert (response.status_code, charged_to) == (200, [charged])


@pytest.mark.parametrize("settings, timeout", [({}, 60), ({"transcription_timeout": 5}, 5)])
def test_the_transcription_time_out_is_a_setting(make_client, dorvane, monkeypatch, settings, timeout):
    given = []
    monkeypatch.setattr(dorvane, "transcribe_audio", lambda **kwargs: given.append(kwargs) or {})
    make_client(**settings).post("/api/transcribe", json=VALID["/api/transcribe"])
    assert [kwargs["timeout"] for kwargs in given] == [timeout]


def test_a_silent_transcription_service_is_given_up_after_the_setting(make_client, stalled_url):
    client = make_client(transcription_url=stalled_url, transcription_timeout=0.5)
    response = client.post("/api/transcribe", json=VALID["/api/transcribe"])
    assert response.status_code == 200
    assert response.get_json() == {"error": "Server did not respond within 0.5 seconds."}


@pytest.mark.parametrize(
    "settings, shown",
    [
        ({}, ['maxlength="1000"', 'min="0.5"', "At most 1000 characters", "60 seconds"]),
        (
            {"max_text": 300, "transcription_timeout": 20},
            ['maxlength="300"', "At most 300 characters", "20 seconds"],
        ),
    ],
)
def test_the_page_shows_the_limits(make_client, settings, shown):
    page = make_client(**settings).get("/").get_data(as_text=True)
    for text in shown:
        assert text in page


def _readme_load_size():
    readme = (Path(__file__).resolve().parents[2] / "examples" / "README.md").read_text()
    return json.loads(re.search(r"-d '(\{[^']*\})' \S+/api/run_mod", readme)[1])["size"]


@pytest.mark.parametrize(
    "settings, size, error",
    [
        ({}, _readme_load_size(), None),
        ({}, 0, None),
        ({}, 1.0, None),
        ({"run_mod_max_gb": 2}, 2, None),
        ({}, 0.25, "size must be a whole number from 0 to 1, not 0.25"),
        ({"run_mod_max_gb": 2}, 1.5, "size must be a whole number from 0 to 2, not 1.5"),
        ({}, 2, "size must lie between 0 and 1"),
        ({}, -1, "size must lie between 0 and 1"),
    ],
)
def test_the_load_takes_whole_gib(make_client, fake_torch, clock, settings, size, error):
    torch_ = fake_torch(randn=lambda n, device: None)
    clock(0.0, 10.0)
    response = make_client(operator_token=TOKEN, **settings).post(
        "/api/run_mod", json={"size": size}, headers=OPERATOR
    )
    allocations = [c[1] for c in torch_.calls if c[0] == "randn"]
    if error is None:
        assert response.status_code == 200
        # The count the tensor library gets is an integer, as it demands.
        assert allocations == [(int(size) * 2**30 // 4,)] and type(allocations[0][0]) is int
    else:
        assert response.status_code == 400 and allocations == []
        assert error in response.get_json()["error"]


def test_a_load_of_nothing_runs_on_the_real_tensor_library(make_client, clock):
    torch = pytest.importorskip("torch")
    if not hasattr(torch, "randn"):
        pytest.skip("the torch stand-in has no tensors")
    clock(0.0, 10.0)
    response = make_client(operator_token=TOKEN).post("/api/run_mod", json={"size": 0}, headers=OPERATOR)
    assert (response.status_code, response.get_json()) == (200, {"status": "done", "size": 0})
