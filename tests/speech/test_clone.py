"""clone_voice against a local cloning service and file server."""

import json
import os
import threading
import types
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
import requests
from doubles import Interrupt, Reply, module_copy
from operations import BASE
from scripted_server import leftovers

from support.defaults import CLONE_PATH

ENDPOINT = CLONE_PATH
OUT = Path("output/clone")


@pytest.fixture
def clone(calling):
    return calling("clone_voice")


def downloads(httpserver):
    return [request.full_path.rstrip("?") for request, _ in httpserver.log if request.method == "GET"]


@pytest.mark.parametrize(
    "remove, message",
    [
        ("models", "Code is not complete. 'models' folder is missing."),
        ("token/mtl_tokenizer.json", "Files not found in 'token': mtl_tokenizer.json"),
    ],
)
def test_incomplete_installation_still_makes_the_given_folder(
    clone, httpserver, installation, remove, message
):
    installation.remove(remove)
    assert clone({"data": "x"}, output_folder="media/out") == ({"error": message}, 400)
    assert httpserver.log == []
    assert Path("media/out").is_dir()


def test_folder_failure_comes_before_the_gate(clone, httpserver, installation):
    installation.remove("models")
    Path("taken").write_text("a file")
    with pytest.raises(FileExistsError):
        clone({"data": "x"}, output_folder="taken")
    assert httpserver.log == []


@pytest.mark.parametrize(
    "audio_url, voice_id",
    [("http://in.test/a b.wav", "id-1"), ("", 42), ("  x  ", None), ("ü", ["a", 1])],
)
def test_request_body_as_received(clone, httpserver, audio_url, voice_id):
    assert clone({"data": None}, audio_url=audio_url, clone_voice_id=voice_id, timeout=3) == {"data": None}
    request = httpserver.log[0][0]
    assert request.headers["Content-Type"] == "application/json"
    assert list(json.loads(request.get_data()).items()) == [("url", audio_url), ("id", voice_id)]


def test_download_is_streamed_with_the_call_timeout(clone, dorvane, monkeypatch):
    seen = []

    class Streamed(Reply):
        def iter_content(self, chunk_size):
            seen.append(chunk_size)
            yield from (b"ab", b"", b"cd")

    def get(url, **kwargs):
        seen.append((url, kwargs))
        return Streamed()

    monkeypatch.setattr(
        dorvane,
        "requests",
        types.SimpleNamespace(post=lambda *a, **k: Reply({"data": "http://files.test/a.wav"}), get=get),
    )
    assert clone(timeout=7) == {"data": "http://app.test:5000/output/clone/a.wav"}
    assert seen == [("http://files.test/a.wav", {"stream": True, "timeout": 7}), 8192]
    assert (OUT / "a.wav").read_bytes() == b"abcd"


# A streamed response holds its connection until closed; left open, every
# call would keep one, failed calls too.
@pytest.mark.parametrize(
    "error, where, outcome",
    [
        (None, None, {"data": "http://app.test:5000/output/clone/a.wav"}),
        (requests.exceptions.HTTPError("404"), "status", {"error": "Failed to cloned audio"}),
        (requests.exceptions.ChunkedEncodingError("cut"), "body", {"error": "Failed to cloned audio"}),
        (Interrupt(), "body", Interrupt),
    ],
    ids=["downloaded", "error-status", "cut-body", "interrupted"],
)
def test_the_streamed_response_is_closed(clone, dorvane, monkeypatch, error, where, outcome):
    closed = []

    class Streamed(Reply):
        def close(self):
            closed.append(self)

    streamed = Streamed(None, error, where)
    monkeypatch.setattr(
        dorvane,
        "requests",
        types.SimpleNamespace(
            post=lambda *a, **k: Reply({"data": "http://files.test/a.wav"}),
            get=lambda url, **kwargs: streamed,
        ),
    )
    if outcome is Interrupt:
        with pytest.raises(Interrupt):
            clone()
    else:
        assert clone() == outcome
    assert closed == [streamed]


@pytest.mark.parametrize(
    "answer",
    [
        {"ok": 1},
        {"data": None},
        {"data": ""},
        {"data": 5},
        {"data": ["http://f/a.wav"]},
        {"a": 1, "data": {"u": "x"}},
    ],
)
def test_data_not_a_link_returns_answer_unchanged(clone, httpserver, answer):
    assert json.dumps(clone(answer)) == json.dumps(answer)
    assert downloads(httpserver) == []
    assert os.listdir(OUT) == []


def test_blank_in_name_is_escaped(clone, httpserver, serve_file):
    served = serve_file("/files/a b.wav", b"AB")
    answer = {"code": 0, "data": served, "meta": {"z": 1, "a": [2]}, "msg": "ok"}
    result = clone(answer)
    assert list(result.items()) == [
        ("code", 0),
        ("data", "http://app.test:5000/output/clone/a%20b.wav"),
        ("meta", {"z": 1, "a": [2]}),
        ("msg", "ok"),
    ]
    assert httpserver.log[1][0].environ["REQUEST_URI"] == "/files/a%20b.wav"
    assert os.listdir(OUT) == ["a%20b.wav"]
    assert (OUT / "a%20b.wav").read_bytes() == b"AB"


def test_query_stays_in_name(clone, serve_file):
    served = serve_file("/clip.wav", b"Q", query_string="sig=1")
    assert clone({"data": served + "?sig=1"}) == {"data": "http://app.test:5000/output/clone/clip.wav?sig=1"}
    assert (OUT / "clip.wav?sig=1").read_bytes() == b"Q"


@pytest.mark.parametrize(
    "make_url, status, requested",
    [
        (lambda server, refused: server.url_for("/dir/"), 200, ["/dir/"]),
        (lambda server, refused: server.url_for("/clip.wav"), 404, ["/clip.wav"]),
        (lambda server, refused: "clip.wav", 200, []),
        (lambda server, refused: refused + "/clip.wav", 200, []),
    ],
    ids=["trailing-slash", "404", "no-slash", "refused"],
)
def test_failed_download(clone, httpserver, refused_url, make_url, status, requested, serve_file):
    OUT.mkdir(parents=True)
    (OUT / "clip.wav").write_bytes(b"kept")
    serve_file("/dir/", b"listing", status=status)
    serve_file("/clip.wav", b"gone", status=status)
    assert clone({"data": make_url(httpserver, refused_url), "x": 1}) == {"error": "Failed to cloned audio"}
    assert downloads(httpserver) == requested
    assert os.listdir(OUT) == ["clip.wav"]
    assert (OUT / "clip.wav").read_bytes() == b"kept"
    assert leftovers(OUT) == []


@pytest.mark.parametrize("base_url", [5, None, b"http://app.test/"])
def test_base_url_not_text_keeps_file(clone, base_url, serve_file):
    served = serve_file("/a.wav", b"WRITTEN")
    assert clone({"data": served}, base_url=base_url) == {"error": "Failed to cloned audio"}
    assert (OUT / "a.wav").read_bytes() == b"WRITTEN"


@pytest.mark.parametrize(
    "folder, base_url, middle",
    [
        ("media/out", BASE, "media/out"),
        ("media/out//", "http://app.test:5000///", "media/out"),
        ("output/clone/", "http://app.test:5000", "output/clone"),
        ("ABSOLUTE", BASE, "ABSOLUTE"),
    ],
)
def test_folder_and_link(clone, tmp_path, folder, base_url, middle, serve_file):
    absolute = str(tmp_path / "srv" / "clone") + "/"
    folder = folder.replace("ABSOLUTE", absolute)
    middle = middle.replace("ABSOLUTE", absolute.strip("/"))
    served = serve_file("/a.wav", b"A")
    assert clone({"data": served}, output_folder=folder, base_url=base_url) == {
        "data": f"http://app.test:5000/{middle}/a.wav"
    }
    assert (Path(folder) / "a.wav").read_bytes() == b"A"


def test_large_body_written_whole(clone, serve_file):
    body = os.urandom(300_000)
    # The answer first: a call that failed says why, where the file would
    # only be missing.
    assert clone({"data": serve_file("/big.wav", body)}) == {"data": BASE + "output/clone/big.wav"}
    assert (OUT / "big.wav").read_bytes() == body
    assert leftovers(OUT) == []


def test_the_file_is_whole_and_closed_when_renamed(clone, dorvane, monkeypatch, serve_file):
    # The rename gives the file its final name: by then every byte must be
    # in it and its handle closed, or a failed close would leave a partial
    # file under that name. A small body stays in the writer's buffer until
    # the close.
    body = os.urandom(1000)
    handed = []

    def replace(src, dst):
        handed.append(Path(src).read_bytes())
        os.replace(src, dst)

    monkeypatch.setattr(dorvane, "os", module_copy(os, replace=replace))
    clone({"data": serve_file("/whole.wav", body)})
    assert handed == [body]
    assert (OUT / "whole.wav").read_bytes() == body


def test_download_without_answer_is_bounded(clone, stalled_url):
    outcome = []
    caller = threading.Thread(
        target=lambda: outcome.append(clone({"data": stalled_url + "/clip.wav"}, timeout=1))
    )
    caller.start()
    caller.join(30)
    assert not caller.is_alive(), "the download is not bounded by the call's timeout"
    assert outcome == [{"error": "Failed to cloned audio"}]
    assert os.listdir(OUT) == []


def test_concurrent_calls_same_name_leave_one_body(dorvane, httpserver, serve_file):
    bodies = {n: bytes([n]) * 200_000 for n in range(4)}
    for n, body in bodies.items():
        serve_file(f"/{n}/same.wav", body)
    for n in bodies:
        httpserver.expect_request(ENDPOINT, query_string=f"n={n}").respond_with_json(
            {"data": httpserver.url_for(f"/{n}/same.wav")}
        )

    def call(n):
        return dorvane.clone_voice(
            "u", "i", tts_endpoint=httpserver.url_for(ENDPOINT) + f"?n={n}", base_url=BASE
        )

    with ThreadPoolExecutor(len(bodies)) as pool:
        results = list(pool.map(call, bodies))
    assert all(result["data"] == BASE + "output/clone/same.wav" for result in results)
    assert (OUT / "same.wav").read_bytes() in bodies.values()
    assert leftovers(OUT) == []
