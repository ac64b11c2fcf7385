"""What operators read and rely on, in process: the health route, the host's
name on every answer, the metrics, the expiry of old output, and the same
application made around the plain-Python text-to-speech."""

import os
import random
import re
import runpy
import string
import threading
import time
import types
from pathlib import Path

import pytest

from .test_webapp_routes import VALID


def metric(client, name, **labels):
    text = client.operators.get("/metrics").get_data(as_text=True)
    wanted = ",".join(f'{k}="{v}"' for k, v in sorted(labels.items()))
    series = re.escape(name) + (r"\{%s\}" % re.escape(wanted) if labels else "")
    match = re.search(r"^%s (\S+)$" % series, text, re.M)
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
    client = make_client(served_by="host-a:5001")
    response = client.operators.get("/healthz")
    assert response.headers["X-Served-By"] == "host-a:5001"
    if problem is None:
        assert (response.status_code, response.get_json()) == (200, {
            "status": "ok", "served_by": "host-a:5001", "output_bytes": 0, "output_max_bytes": 1 << 30})
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
    removed = expiry.sweep(root, ["tts", "clone"], 3600, now=now).removed
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
    assert len(expiry.sweep(root, ["tts", "clone"], 3600, now=now).removed) == 3


@pytest.mark.parametrize("released_after, swept", [(0.1, True), (None, False)])
def test_a_sweep_told_to_wait_takes_the_lock_once_it_is_free_within_the_wait(store, released_after, swept):
    expiry, root, now = store
    from locks import try_lock

    held, release = threading.Event(), threading.Event()

    def holder():
        with try_lock(root / expiry.LOCK_NAME):
            held.set()
            release.wait(10)

    thread = threading.Thread(target=holder)
    thread.start()
    assert held.wait(10)
    if released_after is not None:
        threading.Timer(released_after, release.set).start()
    result = expiry.sweep(root, ["tts", "clone"], 3600, now=now, wait=1.0)
    release.set()
    thread.join(10)
    assert (result is not None, (root / "tts" / "old.wav").exists()) == (swept, not swept)


def test_the_application_made_around_the_plain_python_text_to_speech_serves_it(webapp, dorvane, standin, tmp_path,
                                                                                sleeps, monkeypatch):
    from support import reference

    monkeypatch.setattr(reference, "time", types.SimpleNamespace(sleep=sleeps.append))
    client = webapp.create_app(reference.PlainSpeech(dorvane), webapp.Settings(speech_url=standin.speech_url)).test_client()
    response = client.post("/api/tts", json={"text": "Plain Python speaking", "voice_id": "en-us"})
    assert response.status_code == 200
    link = response.get_json()["data"]["convert_result"][0]["oss_url"]
    assert link.startswith("http://localhost/output/tts/")
    assert client.get(link.removeprefix("http://localhost")).data[:4] == b"RIFF"
    assert sleeps == [10]
    assert not list((tmp_path / "output" / "tts").glob(".*"))


def test_metrics_labels_come_from_fixed_sets_whatever_clients_send(make_client):
    client = make_client()

    def label_sets():
        text = client.operators.get("/metrics").get_data(as_text=True)
        return set(re.findall(r"^webapp_requests_total\{(.*)\} ", text, re.M))

    before = label_sets()
    others = metric(client, "webapp_requests_total", route="unmatched", method="other", status=405)
    methods = ["".join(random.Random(i).choices(string.ascii_uppercase, k=12)) for i in range(40)]
    for i, method in enumerate(methods):
        client.open(f"/no/such/{method}/{i}", method=method)
        client.open("/api/tts", method=method)
    new = label_sets() - before
    assert new <= {'method="other",route="unmatched",status="404"', 'method="other",route="unmatched",status="405"'}
    assert metric(client, "webapp_requests_total", route="unmatched", method="other", status=405) == others + 40


def test_health_and_metrics_report_the_stores_bytes(make_client, tmp_path):
    for name, size in {"tts/a.wav": 1234, "clone/b%20c.wav": 766, "tts/.dorvane-1f.part": 100,
                       "music/elsewhere.wav": 5000}.items():
        (tmp_path / "output" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "output" / name).write_bytes(b"x" * size)
    client = make_client(output_max_bytes=10_000)
    health = client.operators.get("/healthz").get_json()
    assert (health["output_bytes"], health["output_max_bytes"]) == (2100, 10_000)
    assert metric(client, "webapp_output_bytes") == 2100


@pytest.fixture
def sized_store(webapp, tmp_path):
    """Four finished files of 100 bytes, a minute apart in age, and a
    download in progress older than all of them."""
    import expiry

    now = 1_000_000.0
    root = tmp_path / "output"
    (root / "tts").mkdir(parents=True)
    for name, age in {"a.wav": 400, "b.wav": 300, "c.wav": 200, "d.wav": 100, ".dorvane-77.part": 500}.items():
        (root / "tts" / name).write_bytes(b"x" * 100)
        os.utime(root / "tts" / name, (now - age, now - age))
    return expiry, root, now


@pytest.mark.parametrize(
    "max_bytes, held, left",
    [
        (0, None, "abcd"),
        (500, None, "abcd"),
        (450, None, "bcd"),    # over: down to 90% of the cap, oldest first
        (300, None, "d"),
        (300, "a.wav", "a"),   # a file being sent stays; the next oldest go instead
        (50, None, ""),        # the download in progress stays even so
    ],
)
def test_over_its_cap_the_store_loses_its_oldest_files_first(sized_store, max_bytes, held, left):
    expiry, root, now = sized_store
    reader = expiry.hold_for_reading(root / "tts" / held) if held else None
    try:
        swept = expiry.sweep(root, ["tts", "clone"], 0, max_bytes, now=now)
    finally:
        if reader is not None:
            os.close(reader)
    files = sorted(p.name for p in (root / "tts").iterdir())
    assert files == [".dorvane-77.part"] + [f"{c}.wav" for c in left]
    assert swept.remaining == sum((root / "tts" / f).stat().st_size for f in files) == 100 * (len(left) + 1)


@pytest.mark.parametrize("limits, sweeps", [({"output_max_age": 3600}, True),
                                             ({"output_max_age": 0, "output_max_bytes": 0}, False)])
def test_the_servers_hook_starts_the_timed_sweep_that_making_the_application_does_not(
        make_client, webapp, tmp_path, monkeypatch, limits, sweeps):
    old = tmp_path / "output" / "tts" / "old.wav"
    old.parent.mkdir(parents=True)
    old.write_bytes(b"x")
    os.utime(old, (time.time() - 7200,) * 2)
    threads = set(threading.enumerate())
    application = make_client(expiry_interval=0.05, **limits).application
    assert set(threading.enumerate()) == threads
    # gunicorn.conf.py as gunicorn reads it, in a fresh working directory.
    for name in ("WEBAPP_WORKDIR", "WEBAPP_SERVED_BY", "PROMETHEUS_MULTIPROC_DIR"):
        monkeypatch.setenv(name, str(tmp_path / "gunicorn"))
    hooks = runpy.run_path(str(webapp.HERE / "gunicorn.conf.py"))
    hooks["post_worker_init"](types.SimpleNamespace(wsgi=application))
    started = set(threading.enumerate()) - threads
    assert len(started) == sweeps
    deadline = time.monotonic() + 10
    while old.exists() and sweeps and time.monotonic() < deadline:
        time.sleep(0.05)
    assert old.exists() != sweeps
    # The timer runs on with the test process: it sleeps out the session.
    application.extensions["webapp.store"].interval = 86400


def test_a_file_being_sent_is_kept_until_its_answer_ends(make_client, tmp_path):
    folder = tmp_path / "output" / "tts"
    folder.mkdir(parents=True)
    for age, name in ((7200, "old.wav"), (60, "new.wav")):
        (folder / name).write_bytes(name.encode() * 200)
        os.utime(folder / name, (time.time() - age,) * 2)
    client = make_client(output_max_age=3600)
    store = client.application.extensions["webapp.store"]
    sending = client.get("/output/tts/old.wav", buffered=False)
    assert sending.status_code == 200
    assert store.sweep().removed == []
    assert (folder / "old.wav").exists() and (folder / "new.wav").exists()
    assert sending.get_data() == b"old.wav" * 200
    sending.close()
    assert [Path(p).name for p in store.sweep().removed] == ["old.wav"]


def test_a_flood_from_one_client_keeps_both_stores_under_their_caps(make_client, standin, tmp_path, monkeypatch):
    import expiry

    cap, callers, calls_each = 800_000, 8, 12
    monkeypatch.setattr(standin, "audio_max_bytes", cap)
    # The grace would keep each file handed out for a minute, and the flood
    # passes three times the cap through the store in seconds: the cap is
    # what is under test here.
    client = make_client(speech_url=standin.speech_url, output_max_bytes=cap, output_grace=0)
    store = tmp_path / "output"
    text = {"text": "One of many calls at once", "voice_id": "en-us"}

    def in_output(store):
        # The folders the cap is for; the store's hidden bookkeeping beside
        # them holds no audio (the workers' room is the size of sparse files).
        return expiry.store_bytes(store, ["tts", "clone"])

    def on_disk(folder):
        total = 0
        for path in folder.rglob("*"):
            try:
                total += path.stat().st_size if path.is_file() else 0
            except FileNotFoundError:
                pass  # swept while we looked
        return total

    # The first call tells the host how large its files are; the flood's
    # every answer is this same audio.
    first = client.post("/api/tts", json=text).get_json()
    size = len(client.get(first["data"]["convert_result"][0]["oss_url"].removeprefix("http://localhost")).data)
    answers, peaks, done = [], [0, 0], threading.Event()

    def sample():
        while not done.is_set():
            peaks[:] = [max(peaks[0], in_output(store)), max(peaks[1], on_disk(standin.audio_dir))]

    def caller():
        for _ in range(calls_each):
            response = client.post("/api/tts", json=text)
            answers.append((response.status_code, response.headers.get("Retry-After"), response.get_json()))

    sampler = threading.Thread(target=sample)
    threads = [threading.Thread(target=caller) for _ in range(callers)]
    sampler.start()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    done.set()
    sampler.join(10)

    served = [a for a in answers if a[0] == 200]
    refused = [a for a in answers if a[0] != 200]
    assert len(answers) == callers * calls_each and all("error" not in a[2] for a in served)
    # Room is made for the calls in flight before each starts; a call for
    # which there is none is refused at once, to be retried.
    assert {(status, retry) for status, retry, _ in refused} <= {(503, "10")}
    assert len(served) * size > 3 * cap
    assert peaks[0] <= cap and in_output(store) <= cap
    # The stand-in makes room before it writes; a listing taken during a
    # rename may see one file twice.
    assert peaks[1] <= cap + size
    assert on_disk(standin.audio_dir) <= cap and standin.audio_bytes <= cap


def test_a_call_is_refused_when_the_calls_in_flight_would_fill_the_store(sized_store):
    expiry, root, then = sized_store
    for path in (root / "tts").iterdir():  # the same ages, as of now
        os.utime(path, (path.stat().st_mtime - then + time.time(),) * 2)
    store = expiry.Store(root, ["tts"], 0, 450)
    with store.call("tts", 100) as written:
        (root / "tts" / "e.wav").write_bytes(b"x" * 100)
        written.append(root / "tts" / "e.wav")
    # The oldest files went to make room, the download in progress stayed.
    assert sorted(p.name for p in (root / "tts").iterdir()) == [".dorvane-77.part", "c.wav", "d.wav", "e.wav"]
    with store.call("tts", 100), store.call("tts", 100):
        # Room was made for both calls, oldest first; the file just handed
        # out stays for its grace, so a third finds none.
        assert sorted(p.name for p in (root / "tts").iterdir()) == [".dorvane-77.part", "e.wav"]
        with pytest.raises(expiry.Full):
            with store.call("tts", 100):
                pass
    with store.call("tts", 100):
        pass  # the calls ended: room again
