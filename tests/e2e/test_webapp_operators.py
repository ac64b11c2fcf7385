"""What operators read and rely on, in process: the health route, the host's
name on every answer, the metrics, the expiry of old output, and the choice
of text-to-speech implementation."""

import os
import re
import threading
import types
from pathlib import Path

import pytest

from .test_webapp_routes import VALID


def metric(client, name, **labels):
    text = client.get("/metrics").get_data(as_text=True)
    wanted = ",".join(f'{k}="{v}"' for k, v in sorted(labels.items()))
    match = re.search(r"^%s\{%s\} (\S+)$" % (re.escape(name), re.escape(wanted)), text, re.M)
    return float(match[1]) if match else 0.0


@pytest.mark.parametrize(
    "breakage, problem",
    [
        (None, None),
        ("models", "'models' folder is missing"),
        ("dangling output", "output folder is missing or not writable"),
        ("output is a file", "output folder is missing or not writable"),
    ],
)
def test_health_reports_what_stops_a_host_from_answering(make_client, installation, tmp_path, breakage, problem):
    if breakage == "models":
        installation.remove("models")
    elif breakage == "dangling output":
        (tmp_path / "output").symlink_to(tmp_path / "unmounted-store")
    elif breakage == "output is a file":
        (tmp_path / "output").write_text("")
    response = make_client(served_by="host-a:5001").get("/healthz")
    assert response.headers["X-Served-By"] == "host-a:5001"
    if problem is None:
        assert (response.status_code, response.get_json()) == (200, {"status": "ok", "served_by": "host-a:5001"})
    else:
        assert response.status_code == 503
        assert any(problem in p for p in response.get_json()["problems"])


@pytest.mark.parametrize("path, body, status", [
    ("/api/tts", {}, 400), ("/api/status", None, 200), ("/no/such/route", None, 404),
])
def test_every_answer_is_counted_by_route_and_status_and_named(make_client, path, body, status):
    client = make_client(served_by="host-b:5002")
    route = "unmatched" if status == 404 else path
    method = "GET" if body is None else "POST"
    before = metric(client, "webapp_requests_total", route=route, method=method, status=status)
    response = client.get(path) if body is None else client.post(path, json=body)
    assert response.status_code == status and response.headers["X-Served-By"] == "host-b:5002"
    assert metric(client, "webapp_requests_total", route=route, method=method, status=status) == before + 1
    assert metric(client, "webapp_request_duration_seconds_count", route=route) >= 1


def test_calls_in_flight_are_counted_while_they_run(make_client, dorvane, monkeypatch):
    inside, release = threading.Event(), threading.Event()

    def held(*args, **kwargs):
        inside.set()
        release.wait(10)
        return {"data": {}}

    monkeypatch.setattr(dorvane, "generate_tts", held)
    client = make_client()
    caller = threading.Thread(target=client.post, args=("/api/tts",), kwargs={"json": VALID["/api/tts"]})
    caller.start()
    try:
        assert inside.wait(10)
        assert metric(client, "webapp_requests_in_flight", route="/api/tts") == 1
    finally:
        release.set()
        caller.join(10)
    assert metric(client, "webapp_requests_in_flight", route="/api/tts") == 0


@pytest.fixture
def store(webapp, tmp_path):
    """An output store with files of every kind, aged as named."""
    import expiry

    now = 1_000_000.0
    ages = {
        "tts/old.wav": 7200, "tts/new.wav": 60, "clone/old%20clone.wav": 7200,
        "tts/.dorvane-0a1b.part": 7200,                    # a download in progress
        "tts/.dorvane-dead.part": expiry.STALE_PART_AGE + 1,  # one whose writer died
        "music/old.wav": 7200,                               # not an output folder
    }
    for name, age in ages.items():
        path = tmp_path / "store" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(b"x")
        os.utime(path, (now - age, now - age))
    return expiry, tmp_path / "store", now


def test_expiry_removes_old_output_and_never_a_download_in_progress(store):
    expiry, root, now = store
    removed = expiry.sweep(root, ["tts", "clone"], 3600, now=now)
    assert sorted(Path(p).relative_to(root).as_posix() for p in removed) == [
        "clone/old%20clone.wav", "tts/.dorvane-dead.part", "tts/old.wav"]
    left = sorted(p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file())
    assert left == [".expiry.lock", "music/old.wav", "tts/.dorvane-0a1b.part", "tts/new.wav"]


def test_expiry_runs_on_one_host_at_a_time(store):
    expiry, root, now = store
    from locks import try_lock

    with try_lock(root / expiry.LOCK_NAME) as held:
        assert held
        assert expiry.sweep(root, ["tts", "clone"], 3600, now=now) is None
        assert (root / "tts" / "old.wav").exists()
    assert len(expiry.sweep(root, ["tts", "clone"], 3600, now=now)) == 3


def test_the_plain_python_implementation_is_chosen_by_a_setting(make_client, standin, tmp_path, sleeps,
                                                                monkeypatch):
    import plain_tts

    monkeypatch.setattr(plain_tts, "time", types.SimpleNamespace(sleep=sleeps.append))
    client = make_client(speech_url=standin.speech_url, tts_implementation="python")
    response = client.post("/api/tts", json={"text": "Plain Python speaking", "voice_id": "en-us"})
    assert response.status_code == 200
    link = response.get_json()["data"]["convert_result"][0]["oss_url"]
    assert link.startswith("http://localhost/output/tts/")
    assert client.get(link.removeprefix("http://localhost")).data[:4] == b"RIFF"
    assert sleeps == [10]
    assert not list((tmp_path / "output" / "tts").glob(".*"))
    with pytest.raises(ValueError):
        make_client(tts_implementation="cython")
