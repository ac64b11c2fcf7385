"""generate_tts against a local speech service and file server."""

import json
import os
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from operations import BASE
from scripted_server import leftovers
from werkzeug import Response

from support.defaults import TTS_PATH

ENDPOINT = TTS_PATH
OUT = Path("output/tts")


@pytest.fixture
def tts(calling):
    return calling("generate_tts")


def answer_with(*urls):
    return {"data": {"convert_result": [{"oss_url": url} for url in urls]}}


@pytest.mark.parametrize(
    "args, kwargs, sent",
    [
        (("hello", "v1"), {}, ["hello", "v1", "1", "1", "1", "0"]),
        (("hello", "v1"), {"speed": 0.9, "pitch": 1.1}, ["hello", "v1", "0.9", "1", "1.1", "0"]),
        (("héllo ✓", 7), {"speed": "fast", "pitch": None}, ["héllo ✓", 7, "fast", "1", "None", "0"]),
        (("", None), {"speed": 2, "pitch": -3}, ["", None, "2", "1", "-3", "0"]),
    ],
)
def test_request_body_as_received(dorvane, httpserver, sleeps, args, kwargs, sent):
    httpserver.expect_request(ENDPOINT, method="POST").respond_with_json({"data": {}, "x": 1})
    result = dorvane.generate_tts(*args, tts_endpoint=httpserver.url_for(ENDPOINT), **kwargs)
    request = httpserver.log[0][0]
    assert request.headers["Content-Type"] == "application/json"
    assert json.loads(request.get_data()) == {"data": sent}
    assert result == {"data": {}, "x": 1}
    assert OUT.is_dir()
    assert sleeps == [10]


@pytest.mark.parametrize(
    "answer", [{}, {"data": None}, {"data": []}, {"data": "x"}, {"data": 3}, {"other": {}}]
)
def test_data_not_an_object(tts, sleeps, answer):
    assert tts(answer) == {"error": "Unexpected response format from TTS"}
    assert not Path("output").exists()
    assert sleeps == []


@pytest.mark.parametrize("convert_result", ["a.wav", 5, {"oss_url": "x"}, None, True])
def test_convert_result_not_a_list(tts, sleeps, convert_result):
    assert tts({"data": {"convert_result": convert_result}}) == {"error": "convert_result is not a list"}
    assert OUT.is_dir()
    assert sleeps == []


def test_rewrites_downloaded_links_and_keeps_everything_else(tts, httpserver, sleeps, serve_file):
    spaced = serve_file("/files/voice 1.wav", b"RIFF-spaced")
    queried = serve_file("/files/clip.wav", b"RIFF-query", query_string="sig=1")
    untouched = [
        3,
        "x",
        None,
        [1],
        {},
        {"oss_url": None},
        {"oss_url": ""},
        {"oss_url": 0},
        {"oss_url": False},
    ]
    answer = {
        "code": 0,
        "data": {
            "task": "t-1",
            "convert_result": [
                {"oss_url": spaced, "dur": 1.5},
                *untouched,
                {"id": 2, "oss_url": queried + "?sig=1"},
            ],
            "zz": [1, 2],
        },
        "msg": "ok",
    }
    result = tts(answer)
    expected = json.loads(json.dumps(answer))
    expected["data"]["convert_result"][0]["oss_url"] = "http://app.test:5000/output/tts/voice 1.wav"
    expected["data"]["convert_result"][-1]["oss_url"] = "http://app.test:5000/output/tts/clip.wav?sig=1"
    assert json.dumps(result) == json.dumps(expected)
    assert (OUT / "voice 1.wav").read_bytes() == b"RIFF-spaced"
    assert (OUT / "clip.wav?sig=1").read_bytes() == b"RIFF-query"
    assert len(httpserver.log) == 3
    assert sleeps == [10]


@pytest.mark.parametrize(
    "base_url, link",
    [
        ("http://app.test:5000/", "http://app.test:5000/output/tts/a.wav"),
        ("http://app.test:5000///", "http://app.test:5000/output/tts/a.wav"),
        ("http://app.test:5000", "http://app.test:5000/output/tts/a.wav"),
        ("http://app.test/media/", "http://app.test/media/output/tts/a.wav"),
        ("", "/output/tts/a.wav"),
    ],
)
def test_link_under_base_url(tts, base_url, link, serve_file):
    url = serve_file("/a.wav", b"A")
    result = tts(answer_with(url), base_url=base_url)
    assert result["data"]["convert_result"][0]["oss_url"] == link


def test_failed_download_among_good_ones(tts, sleeps, serve_file):
    first = serve_file("/one.wav", b"ONE")
    missing = serve_file("/missing.wav", b"gone", status=404)
    last = serve_file("/three.wav", b"THREE")
    result = tts(answer_with(first, missing, last))
    links = [item["oss_url"] for item in result["data"]["convert_result"]]
    assert links == [
        "http://app.test:5000/output/tts/one.wav",
        f"Error downloading file: 404 Client Error: NOT FOUND for url: {missing}",
        "http://app.test:5000/output/tts/three.wav",
    ]
    assert sorted(p.name for p in OUT.iterdir()) == ["one.wav", "three.wav"]
    assert sleeps == [10]


def test_same_name_twice_keeps_second_download(tts, serve_file):
    first = serve_file("/a/same.wav", b"first")
    second = serve_file("/b/same.wav", b"second")
    result = tts(answer_with(first, second))
    assert [item["oss_url"] for item in result["data"]["convert_result"]] == [
        "http://app.test:5000/output/tts/same.wav"
    ] * 2
    assert (OUT / "same.wav").read_bytes() == b"second"


def test_download_overwrites_existing_file(tts, serve_file):
    OUT.mkdir(parents=True)
    (OUT / "a.wav").write_bytes(b"old content that is longer")
    tts(answer_with(serve_file("/a.wav", b"new")))
    assert (OUT / "a.wav").read_bytes() == b"new"
    assert leftovers(OUT) == []


def test_download_stalls_past_wait_time(tts, stalled_url, sleeps):
    result = tts(answer_with(stalled_url + "/slow.wav"), wait_time=1)
    link = result["data"]["convert_result"][0]["oss_url"]
    assert link.startswith("Error downloading file: HTTPConnectionPool(host='127.0.0.1'")
    assert "read timeout=1" in link
    assert not (OUT / "slow.wav").exists()
    assert sleeps == [10]


def test_download_breaking_mid_body_keeps_old_file(tts, partial_server, sleeps, serve_file):
    broken = partial_server("break")
    OUT.mkdir(parents=True)
    (OUT / "clip.wav").write_bytes(b"old clip")
    after = serve_file("/after.wav", b"AFTER")
    result = tts(answer_with(broken.url + "/clip.wav", after))
    first, second = (item["oss_url"] for item in result["data"]["convert_result"])
    assert first.startswith("Error downloading file: ")
    assert second == "http://app.test:5000/output/tts/after.wav"
    assert (OUT / "clip.wav").read_bytes() == b"old clip"
    assert leftovers(OUT) == []
    assert [request.path for request in broken.requests] == ["/clip.wav"]
    assert sleeps == [10]


def test_write_failure_keeps_old_file(tts, dorvane, monkeypatch, sleeps, serve_file):
    OUT.mkdir(parents=True)
    (OUT / "a.wav").write_bytes(b"old")
    error = OSError(28, "No space left on device")

    class HalfWriter:
        def __init__(self, file):
            self.file = file

        def write(self, data):
            self.file.write(data[: len(data) // 2])
            raise error

        def __getattr__(self, name):
            return getattr(self.file, name)

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            self.file.close()

    monkeypatch.setattr(dorvane, "open", lambda *a, **k: HalfWriter(open(*a, **k)), raising=False)
    with pytest.raises(OSError) as excinfo:
        tts(answer_with(serve_file("/a.wav", b"new audio body")))
    assert excinfo.value is error
    assert (OUT / "a.wav").read_bytes() == b"old"
    assert leftovers(OUT) == []
    assert sleeps == []


def test_name_naming_the_folder_raises_after_download(tts, httpserver, sleeps, serve_file):
    good = serve_file("/good.wav", b"GOOD")
    folder = serve_file("/dir/", b"listing")
    with pytest.raises(OSError):
        tts(answer_with(good, folder))
    assert [entry[0].path for entry in httpserver.log[1:]] == ["/good.wav", "/dir/"]
    assert (OUT / "good.wav").read_bytes() == b"GOOD"
    assert leftovers(OUT) == []
    assert sleeps == []


@pytest.mark.parametrize("oss_url", [5, ["http://files.test/a.wav"], True, {"u": 1}])
def test_non_text_link_raises(tts, httpserver, sleeps, oss_url):
    with pytest.raises(TypeError):
        tts({"data": {"convert_result": [{"oss_url": oss_url}]}})
    assert len(httpserver.log) == 1
    assert sleeps == []


def test_output_folder_that_cannot_be_made_raises(tts, sleeps):
    Path("output").write_text("a file where the folder goes")
    with pytest.raises(OSError):
        tts({"data": {}})
    assert sleeps == []


@pytest.mark.parametrize("trusted", [True, False])
def test_over_https(dorvane, https_server, monkeypatch, sleeps, trusted):
    https_server.expect_request("/a.wav").respond_with_data(b"SECURE")
    https_server.expect_request(ENDPOINT, method="POST").respond_with_json(
        answer_with(https_server.url_for("/a.wav"))
    )
    if not trusted:
        monkeypatch.delenv("REQUESTS_CA_BUNDLE")
    result = dorvane.generate_tts("hello", "v1", base_url=BASE, tts_endpoint=https_server.url_for(ENDPOINT))
    if trusted:
        assert result["data"]["convert_result"][0]["oss_url"] == "http://app.test:5000/output/tts/a.wav"
        assert (OUT / "a.wav").read_bytes() == b"SECURE"
        assert json.loads(https_server.log[0][0].get_data()) == {"data": ["hello", "v1", "1", "1", "1", "0"]}
        assert sleeps == [10]
    else:
        assert result["error"].startswith("Request failed: ")
        assert "CERTIFICATE_VERIFY_FAILED" in result["error"]
        assert sleeps == []


@pytest.mark.real_wait
def test_threads_wait_together(dorvane, httpserver, serve_file):
    # Each call sleeps the real 10 seconds; run one after the other they
    # would take 40, which is what a wait that holds the interpreter lock gives.
    callers = 4
    for n in range(callers):
        serve_file(f"/t{n}.wav", f"audio {n}".encode())
    httpserver.expect_request(ENDPOINT).respond_with_handler(
        lambda request: Response(
            json.dumps(answer_with(httpserver.url_for(f"/t{request.get_json()['data'][0]}.wav"))),
            content_type="application/json",
        )
    )

    def call(n):
        return dorvane.generate_tts(str(n), "v", base_url=BASE, tts_endpoint=httpserver.url_for(ENDPOINT))

    start = time.monotonic()
    with ThreadPoolExecutor(callers) as pool:
        results = list(pool.map(call, range(callers)))
    elapsed = time.monotonic() - start
    assert elapsed < 20
    for n, result in enumerate(results):
        assert result["data"]["convert_result"][0]["oss_url"] == f"http://app.test:5000/output/tts/t{n}.wav"
        assert (OUT / f"t{n}.wav").read_bytes() == f"audio {n}".encode()
    assert sorted(os.listdir(OUT)) == [f"t{n}.wav" for n in range(callers)]
