"""What operators read and rely on, in process: the settings, the
liveness and readiness routes, the host's name on every answer, the metrics, the store's timed
sweep and its caps under a flood, and the same application made around the
plain-Python text-to-speech."""

import json
import os
import random
import runpy
import shutil
import string
import threading
import time
import types
from concurrent.futures import ThreadPoolExecutor

import pytest
from prometheus_client.parser import text_string_to_metric_families
from webapp import health
from webapp.store import Publisher, census, count
from webapp.store.census import read_published

from support.measure import store_bytes
from support.processes import wait_until

from .test_webapp_routes import VALID


def samples(client):
    """The samples of the host's /metrics: {(name, labels): value}, the
    labels a frozenset of (label, value) pairs."""
    text = client.health.get("/metrics").get_data(as_text=True)
    return {
        (sample.name, frozenset(sample.labels.items())): sample.value
        for family in text_string_to_metric_families(text)
        for sample in family.samples
    }


def labelled(**labels):
    return frozenset((name, str(value)) for name, value in labels.items())


def metric(client, name, **labels):
    return samples(client).get((name, labelled(**labels)), 0.0)


@pytest.mark.parametrize(
    "breakage, problem",
    [
        (None, None),
        ("models", "'models' folder is missing"),
        ("dangling output", "output folder is missing or not writable"),
        ("output is a file", "output folder is missing or not writable"),
        ("output goes", "output folder is missing or not writable"),
    ],
)
def test_readiness_reports_what_stops_a_host_from_answering_and_liveness_does_not(
    make_client, installation, tmp_path, monkeypatch, webapp, breakage, problem
):
    monkeypatch.setattr(health, "READY_EVERY", 0.05)
    if breakage == "models":
        installation.remove("models")
    elif breakage == "dangling output":
        (tmp_path / "output").symlink_to(tmp_path / "unmounted-store")
    elif breakage == "output is a file":
        (tmp_path / "output").write_text("")
    elif breakage == "output goes":
        (tmp_path / "output").mkdir()
    client = make_client(served_by="host-a:5001")
    if breakage == "output goes":
        # Found by the looks that follow the first, off the probe's path.
        assert client.health.get("/readyz").status_code == 200
        (tmp_path / "output").rmdir()
        (tmp_path / "output").write_text("")
        wait_until(lambda: client.health.get("/readyz").status_code == 503, 5)
    for path in ("/readyz", "/healthz"):
        response = client.health.get(path)
        assert response.headers["X-Served-By"] == "host-a:5001"
        if problem is None:
            assert (response.status_code, response.get_json()["status"]) == (200, "ok")
        else:
            assert response.status_code == 503
            assert any(problem in p for p in response.get_json()["problems"])
    assert (client.health.get("/livez").status_code, client.health.get("/livez").get_json()) == (
        200,
        {"status": "ok"},
    )


@pytest.mark.parametrize(
    "path, body, status",
    [
        ("/api/tts", {}, 400),
        ("/api/status", None, 200),
        ("/no/such/route", None, 404),
    ],
)
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


def test_the_application_made_around_the_plain_python_text_to_speech_serves_it(
    webapp, dorvane, standin, tmp_path, sleeps, monkeypatch
):
    from support import reference

    monkeypatch.setattr(reference, "time", types.SimpleNamespace(sleep=sleeps.append))
    client = webapp.create_app(
        reference.PlainSpeech(dorvane), webapp.Settings(speech_url=standin.speech_url)
    ).test_client()
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
        return {labels for name, labels in samples(client) if name == "webapp_requests_total"}

    before = label_sets()
    others = metric(client, "webapp_requests_total", route="unmatched", method="other", status=405)
    methods = ["".join(random.Random(i).choices(string.ascii_uppercase, k=12)) for i in range(40)]
    for i, method in enumerate(methods):
        client.open(f"/no/such/{method}/{i}", method=method)
        client.open("/api/tts", method=method)
    new = label_sets() - before
    assert new <= {labelled(method="other", route="unmatched", status=status) for status in (404, 405)}
    assert (
        metric(client, "webapp_requests_total", route="unmatched", method="other", status=405) == others + 40
    )


def test_readiness_and_metrics_report_the_stores_bytes_as_last_counted(
    make_client, tmp_path, webapp, monkeypatch
):
    monkeypatch.setattr(health, "READY_EVERY", 0.05)
    files = {
        "tts/a.wav": 1234,
        "clone/b%20c.wav": 766,
        "tts/.dorvane-1f.part": 100,
        "music/elsewhere.wav": 5000,
    }
    for name, size in files.items():
        (tmp_path / "output" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "output" / name).write_bytes(b"x" * size)
    client = make_client(output_max_bytes=10_000)
    wait_until(lambda: client.health.get("/readyz").get_json()["output_bytes"] is not None, 5)
    ready = client.health.get("/readyz").get_json()
    assert (ready["output_bytes"], ready["output_max_bytes"]) == (2100, 10_000)
    assert metric(client, "webapp_output_bytes") == 2100
    # A file added is not counted by the probes that follow: they read the
    # store's count, which stands for its look age.
    (tmp_path / "output" / "tts" / "late.wav").write_bytes(b"x" * 900)
    time.sleep(0.3)
    assert client.health.get("/readyz").get_json()["output_bytes"] == 2100
    assert metric(client, "webapp_output_bytes") == 2100


def test_readiness_fails_while_the_masters_count_of_the_store_hangs(make_client, monkeypatch):
    monkeypatch.setattr(health, "READY_EVERY", 0.05)
    monkeypatch.setattr(count, "RESERVE_WAIT", 0.0)
    client = make_client(store_look_age=0.5)
    store = client.application.extensions["webapp.store"]
    counting = threading.Event()
    real_look = census.look
    monkeypatch.setattr(census, "look", lambda *store_: counting.wait(10) and real_look(*store_))
    publisher = Publisher(store.published, store.root, store.folders)
    publisher.start(every=0.05)

    def late():
        return any(
            "not been counted" in p for p in client.health.get("/readyz").get_json().get("problems", [])
        )

    try:
        wait_until(late, 5, "readiness failing over the hung count")
        counting.set()
        wait_until(lambda: client.health.get("/readyz").status_code == 200, 5, "readiness once counted")
        # Readiness waited for the master's count, late as it was: the
        # worker never listed the store itself.
        assert store._count._census._sizes == {}
    finally:
        counting.set()
        publisher.stop()


@pytest.mark.parametrize("stale, ready", [(0.3, False), (30, True)])
def test_readiness_fails_only_once_a_look_at_the_store_has_hung_past_its_setting(
    make_client, tmp_path, monkeypatch, stale, ready
):
    # A look that waits on a storage machine being given up is not a host
    # cut off: past ready_stale alone is it taken out.
    monkeypatch.setattr(health, "READY_EVERY", 0.05)
    store, released, hung = tmp_path / "output", threading.Event(), threading.Event()
    store.mkdir(exist_ok=True)
    client = make_client(ready_stale=stale)
    wait_until(lambda: client.health.get("/readyz").status_code == 200, 5, "readiness")
    access = os.access

    def hanging(path, *args, **kwargs):
        if os.path.abspath(path).startswith(str(store)):
            hung.set()
            released.wait()
        return access(path, *args, **kwargs)

    monkeypatch.setattr(os, "access", hanging)
    try:
        assert hung.wait(5)
        time.sleep(1)  # three times the shorter setting
        answer = client.health.get("/readyz")
        assert answer.status_code == (200 if ready else 503), answer.get_json()
        assert ready or any("last looked at" in p for p in answer.get_json()["problems"])
    finally:
        released.set()
    wait_until(lambda: client.health.get("/readyz").status_code == 200, 5, "readiness once answered")


def test_liveness_answers_from_memory_while_every_look_at_the_store_hangs(make_client, tmp_path, monkeypatch):
    store = tmp_path / "output"
    store.symlink_to(tmp_path / "unmounted-store")
    client = make_client()
    assert client.health.get("/readyz").status_code == 503
    released = threading.Event()

    def hung(look):
        def hanging(path, *args, **kwargs):
            if isinstance(path, (str, os.PathLike)) and os.path.abspath(path).startswith(str(store)):
                released.wait()
            return look(path, *args, **kwargs)

        return hanging

    for name in ("stat", "lstat", "listdir", "scandir", "access"):
        monkeypatch.setattr(os, name, hung(getattr(os, name)))
    try:
        # A liveness that waited on the store would time the request out.
        answer = client.health.get("/livez")
        assert (answer.status_code, answer.get_json()) == (200, {"status": "ok"})
    finally:
        released.set()


@pytest.mark.parametrize(
    "limits, sweeps",
    [({"output_max_age": 3600}, True), ({"output_max_age": 0, "output_max_bytes": 0}, False)],
)
def test_the_servers_master_sweeps_and_counts_the_store_that_making_the_application_does_not(
    make_client, webapp, tmp_path, monkeypatch, limits, sweeps
):
    old = tmp_path / "output" / "tts" / "old.wav"
    old.parent.mkdir(parents=True)
    old.write_bytes(b"x")
    os.utime(old, (time.time() - 7200,) * 2)
    threads = set(threading.enumerate())
    application = make_client(expiry_interval=0.05, **limits).application
    assert set(threading.enumerate()) == threads
    # gunicorn.conf.py as gunicorn reads it, in a fresh working directory;
    # the master reads the application's settings from the environment.
    for name in ("WEBAPP_WORKDIR", "WEBAPP_SERVED_BY", "PROMETHEUS_MULTIPROC_DIR"):
        monkeypatch.setenv(name, str(tmp_path / "gunicorn"))
    for name, value in dict(limits, expiry_interval=0.05).items():
        monkeypatch.setenv(f"WEBAPP_{name.upper()}", str(value))
    # The store and its publisher that the master's hook starts, which
    # nothing hands back.
    started, start_expiry = [], webapp.start_expiry
    monkeypatch.setattr(webapp, "start_expiry", lambda: started.append(start_expiry()))
    hooks = runpy.run_path(str(webapp.HERE / "gunicorn.conf.py"))
    hooks["when_ready"](None)
    [(store, publisher)] = started
    try:
        assert len(set(threading.enumerate()) - threads) == 1 + sweeps
        wait_until(lambda: not old.exists() or not sweeps, 10, "the timed sweep")
        assert old.exists() != sweeps
        # The workers' stores read the master's count rather than counting.
        wait_until(lambda: read_published(store.published) is not None, 10, "the count")
        (tmp_path / "output" / "tts" / "late.wav").write_bytes(b"x" * 100)
        assert application.extensions["webapp.store"].bytes() == read_published(store.published)[0]
    finally:
        publisher.stop()
        store.stop()


# A server as gunicorn runs one, from the configuration file argv[1]: its
# master's hooks, then a worker's application and its hooks.
SERVER = r"""
import json, runpy, sys, types

from gunicorn.util import import_app
from unix_http import http_get

config = runpy.run_path(sys.argv[1])
config["on_starting"](None)
app = import_app(config["wsgi_app"])
config["post_worker_init"](types.SimpleNamespace(wsgi=app, notify=lambda: None))
status, body, headers = http_get(sys.argv[2], "/readyz")
print(json.dumps([config["wsgi_app"], app.import_name, sorted(m for m in sys.modules if m.startswith("webapp")),
                  status, headers["X-Served-By"]]))
"""


def test_a_copy_of_the_host_under_another_name_serves_as_itself(webapp, dorvane, child, child_env, tmp_path):
    copy = tmp_path / "teams" / "voicehost"
    shutil.copytree(webapp.HERE, copy, ignore=shutil.ignore_patterns("site", "var", "__pycache__"))
    env = dict(
        child_env,
        WEBAPP_DORVANE_HOME=os.path.dirname(dorvane.__file__),
        WEBAPP_WORKDIR=str(tmp_path),
        WEBAPP_HEALTH_BIND=f"unix:{tmp_path / 'health.sock'}",
        WEBAPP_SERVED_BY="copy",
    )
    env.pop("PROMETHEUS_MULTIPROC_DIR", None)
    done = child(SERVER, copy / "gunicorn.conf.py", tmp_path / "health.sock", env=env, cwd=tmp_path)
    assert json.loads(done.splitlines()[-1]) == ["voicehost:create_app()", "voicehost", [], 200, "copy"]


def test_a_flood_from_one_client_keeps_both_stores_under_their_caps(
    make_client, standin, tmp_path, monkeypatch
):

    cap, callers, calls_each = 800_000, 8, 12
    monkeypatch.setattr(standin, "audio_max_bytes", cap)
    # The grace would keep each file handed out for a minute, and the flood
    # passes three times the cap through the store in seconds: the cap is
    # what is under test here, not one client's share of it.
    client = make_client(
        speech_url=standin.speech_url, output_max_bytes=cap, output_grace=0, output_client_share=0
    )
    store = tmp_path / "output"
    text = {"text": "One of many calls at once", "voice_id": "en-us"}

    def in_output(store):
        # The folders the cap is for; the store's hidden bookkeeping beside
        # them holds no audio (the workers' room is the size of sparse files).
        return store_bytes(store, ["tts", "clone"])

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
    size = len(
        client.get(first["data"]["convert_result"][0]["oss_url"].removeprefix("http://localhost")).data
    )
    peaks, done = [0, 0], threading.Event()

    def sample():
        while not done.is_set():
            peaks[:] = [max(peaks[0], in_output(store)), max(peaks[1], on_disk(standin.audio_dir))]

    def caller(_):
        answers = []
        for _ in range(calls_each):
            response = client.post("/api/tts", json=text)
            answers.append((response.status_code, response.headers.get("Retry-After"), response.get_json()))
        return answers

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        with ThreadPoolExecutor(callers) as pool:
            answers = [answer for each in pool.map(caller, range(callers)) for answer in each]
    finally:
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


@pytest.mark.parametrize(
    "variable, raw",
    [
        ("WEBAPP_MAX_TEXT", "1000x"),
        ("WEBAPP_OUTPUT_MAX_BYTES", "1.5"),
        ("WEBAPP_OUTPUT_MAX_AGE", "nan"),
        ("WEBAPP_EXPIRY_INTERVAL", "soon"),
        ("WEBAPP_TRANSCRIPTION_TIMEOUT", "0"),
        ("WEBAPP_TRANSCRIPTION_TIMEOUT", "201"),
    ],
)
def test_a_setting_its_field_cannot_take_stops_the_start_and_names_its_variable(webapp, variable, raw):
    with pytest.raises(ValueError) as refused:
        webapp.Settings.from_environ({variable: raw})
    assert str(refused.value).startswith(f"{variable}={raw!r}: ")


def test_the_environments_settings_reach_the_applications_config_typed(webapp, dorvane):
    settings = webapp.Settings.from_environ(
        {
            "WEBAPP_MAX_TEXT": "20",
            "WEBAPP_TRANSCRIPTION_TIMEOUT": "200",
            "WEBAPP_OUTPUT_MAX_AGE": "0",
            "WEBAPP_OPERATOR_TOKEN": "1234",
        }
    )
    config = webapp.create_app(dorvane, settings).config
    assert (config["MAX_TEXT"], config["TRANSCRIPTION_TIMEOUT"], config["OUTPUT_MAX_AGE"]) == (20, 200.0, 0.0)
    assert config["OPERATOR_TOKEN"] == "1234"
