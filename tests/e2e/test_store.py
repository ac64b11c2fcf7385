"""The output store keeps what it has handed out: a call is given room in
the one store before the module runs, room counted by every worker of
every host, or is refused at once; it writes no more than the room it
holds, gives it all back however it ends, and one address holds no more
than its share; a file a call answered with stays for the grace whatever
the cap. In process with the module's operations replaced where a test
holds calls in flight, then through fleets under floods of the largest
calls, of text spelled out and of slow clones, with the real wait."""

import builtins
import contextlib
import errno
import fcntl
import io
import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import urllib.request
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import clients
import pytest
import requests
from scripted_server import trickle
from webapp import api
from webapp.store import Full, Store, opener
from webapp.store.bound import GROW_STEP
from webapp.store.census import disk_free
from webapp.store.reservations import (
    CLIENT,
    MAKING,
    RECORD,
    RESERVE_LOCK,
    RESERVED,
    WORKER,
    Reservation,
    reserved_bytes,
)

from support.defaults import CLONE_PATH, TTS_PATH
from support.measure import store_bytes
from support.processes import wait_until
from testing import attacks

# The longest text a host takes, spoken at the lowest speed: the largest
# output a text-to-speech call can write.
LONGEST = {
    "text": ("Each of these calls asks the host for its longest text, spoken as slowly as it allows. " * 12)[
        :1000
    ],
    "voice_id": "en-us",
    "speed": 0.5,
}
# What the stand-in's speech (espeak-ng) makes of it.
LONGEST_BYTES = 5_381_336
# A store with room for one such call.
ONE_CALL = 9_000_000
# Letters espeak-ng spells out one by one: from 1,000 characters at speed
# 0.5, 87 MB of audio, where prose of that length makes 5.4 MB.
SPELLED = (("ꙮ" * 5 + "\n\n") * 143)[:1000]
FOLDERS = ["tts", "clone"]


class Sampled:
    """The bytes in a store's output folders, sampled on a thread while the
    block runs; `peak` is the largest reading."""

    def __init__(self, root, interval=0.05):
        self.read = lambda: store_bytes(root, FOLDERS)
        self.interval = interval
        self.peak = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.sample, daemon=True)

    def sample(self):
        while True:
            self.peak = max(self.peak, self.read())
            if self.stop.wait(self.interval):
                return

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(10)


@pytest.fixture
def held_tts(dorvane, monkeypatch, tmp_path):
    """generate_tts replaced by calls that wait inside the module until
    released, then write `size` bytes of audio under a new name and answer
    with its link; `inside` counts the calls that reached the module."""

    class Held:
        def __init__(self):
            self.inside = []
            self.release = threading.Event()
            self.size = LONGEST_BYTES
            self.aged = 0.0  # seconds before its answer that a file was written

        def __call__(self, text, voice_id, speed, pitch, base_url, **kwargs):
            self.inside.append(text)
            assert self.release.wait(30)
            name = f"held-{os.urandom(6).hex()}.wav"
            path = tmp_path / "output" / "tts" / name
            path.parent.mkdir(parents=True, exist_ok=True)
            # Through the module's `open`, as its downloads are written.
            with getattr(dorvane, "open", open)(path, "xb") as file:
                file.write(b"RIFF" + bytes(self.size - 4))
            os.utime(path, (time.time() - self.aged,) * 2)
            return {"data": {"convert_result": [{"oss_url": f"{base_url}output/tts/{name}"}]}}

    held = Held()
    monkeypatch.setattr(dorvane, "generate_tts", held)
    return held


@pytest.mark.parametrize("limit", ["cap", "disk"])
@pytest.mark.parametrize("workers", [1, 3])
def test_fresh_workers_admit_no_more_calls_than_the_store_can_hold(
    webapp, dorvane, held_tts, small_disk, tmp_path, workers, limit
):
    cap, callers = 20_000_000, 24
    settings = webapp.Settings(output_max_bytes=cap)
    if limit == "disk":
        # A disk of that size under the default cap: the disk is the limit.
        small_disk(tmp_path / "output", cap)
        settings = webapp.Settings()
    # Workers on one store: each its own application, as each gunicorn
    # worker of each host is, all in the one working directory.
    clients = [webapp.create_app(dorvane, settings).test_client() for _ in range(workers)]
    answers = []

    def call(client, i):
        # Each caller from a network of its own: the share of one client is
        # not what this measures.
        response = client.post("/api/tts", json=LONGEST, environ_base={"REMOTE_ADDR": f"127.2.{i}.1"})
        answers.append((response.status_code, response.headers.get("Retry-After"), response.get_json()))

    with ThreadPoolExecutor(callers) as pool:
        for i in range(callers):
            pool.submit(call, clients[i % workers], i)
        with contextlib.suppress(TimeoutError):
            wait_until(lambda: len(held_tts.inside) + len(answers) >= callers, 20, step=0.01)
        admitted = len(held_tts.inside)
        refused = list(answers)
        held_tts.release.set()

    # All the calls were in before any ended: those the module ran must fit
    # the cap together, the others were refused before it ran.
    assert 1 <= admitted and admitted * LONGEST_BYTES <= cap
    assert len(refused) == callers - admitted
    assert {(status, retry) for status, retry, _ in refused} == {(503, "10")}
    served = [body for status, _, body in answers if status == 200]
    assert len(served) == admitted
    for body in served:
        link = body["data"]["convert_result"][0]["oss_url"].removeprefix("http://localhost")
        response = clients[0].get(link)
        assert response.status_code == 200 and len(response.data) == LONGEST_BYTES


@pytest.mark.parametrize(
    "later, limits",
    [
        (0, {"output_max_bytes": 250_000}),  # an operator lowered the cap below what was handed out
        (45, {"output_max_age": 30}),  # older than the age limit, yet within the grace
    ],
)
def test_a_file_handed_out_is_kept_for_the_grace_after_its_answer(
    webapp, dorvane, held_tts, tmp_path, later, limits
):
    held_tts.release.set()
    held_tts.size = 200_000
    # The module wrote the file well before it answered (its wait): the
    # grace runs from the answer, which is when the client got the link.
    held_tts.aged = 100
    client = webapp.create_app(dorvane, webapp.Settings()).test_client()
    links = []
    for _ in range(2):
        response = client.post("/api/tts", json={"text": "Kept for a while", "voice_id": "en-us"})
        assert response.status_code == 200
        links.append(
            response.get_json()["data"]["convert_result"][0]["oss_url"].removeprefix("http://localhost")
        )
    stricter = webapp.create_app(dorvane, webapp.Settings(**limits)).test_client()
    store = stricter.application.extensions["webapp.store"]

    assert store.sweep(now=time.time() + later).removed == []
    for link in links:
        assert len(stricter.get(link).data) == 200_000
    if "output_max_bytes" in limits:
        # Nothing can go to make room for another call: it is refused.
        response = stricter.post("/api/tts", json={"text": "No room", "voice_id": "en-us"})
        assert (response.status_code, response.headers.get("Retry-After")) == (503, "10")
        assert len(held_tts.inside) == 2
    # Past the grace the limits apply again.
    swept = store.sweep(now=time.time() + 61)
    assert swept.removed
    assert swept.remaining <= limits.get("output_max_bytes", 0)


@pytest.mark.parametrize(
    "path, body, cap",
    [
        ("/api/tts", LONGEST, 5_000_000),
        ("/api/clone", {"audio_url": "http://127.0.0.1:9/a.wav", "voice_id": "v1"}, 20_000_000),
    ],
)
def test_a_call_larger_than_the_whole_store_is_refused_without_a_retry(
    make_client, dorvane, monkeypatch, path, body, cap
):
    reached = []
    for name in ("generate_tts", "clone_voice"):
        monkeypatch.setattr(dorvane, name, lambda *a, **k: reached.append(k) or {"data": {}})
    response = make_client(output_max_bytes=cap).post(path, json=body)
    # A retry would meet the same cap: the answer says so, and offers none.
    assert response.status_code == 503 and "Retry-After" not in response.headers
    assert "cap" in response.get_json()["error"]
    assert reached == []


@pytest.mark.parametrize("held_for", [0.2, None], ids=["its-turn-came", "no-turn"])
def test_a_call_waits_its_turn_at_the_count_and_past_its_wait_is_told_busy_not_full(
    webapp, dorvane, held_tts, held_for
):
    held_tts.release.set()
    held_tts.size = 1000
    client = webapp.create_app(dorvane, webapp.Settings(store_reserve_wait=1.0)).test_client()
    root = client.application.extensions["webapp.store"].root
    root.mkdir(parents=True, exist_ok=True)
    fd = os.open(root / RESERVE_LOCK, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    fcntl.flock(fd, fcntl.LOCK_EX)  # another worker counting the room
    try:
        if held_for is not None:
            threading.Timer(held_for, fcntl.flock, (fd, fcntl.LOCK_UN)).start()
        response = client.post("/api/tts", json={"text": "Its turn", "voice_id": "en-us"})
    finally:
        os.close(fd)
    if held_for is not None:
        assert response.status_code == 200 and held_tts.inside == ["Its turn"]
    else:
        assert (response.status_code, response.headers.get("Retry-After")) == (503, "10")
        assert "busy" in response.get_json()["error"] and held_tts.inside == []


@pytest.mark.parametrize(
    "aged, cap, size, held, left, after",
    [
        # Over the cap, a call's sweep makes room, the oldest first; two
        # calls in flight and the file just handed out, in its grace, leave
        # none for a third, and there is room again once they end.
        (
            {"a.wav": 400, "b.wav": 300, "c.wav": 200, "d.wav": 100, ".dorvane-77.part": 500},
            450,
            100,
            2,
            (["c.wav", "d.wav", "e.wav"], ["e.wav"]),
            True,
        ),
        # A call that just ended, whose reservation is gone, is counted by
        # the workers that looked at the store before its file landed.
        ({}, 1000, 600, 0, (["e.wav"], ["e.wav"]), False),
    ],
    ids=["in-flight", "just-ended"],
)
def test_a_call_is_refused_the_room_other_calls_hold_or_just_filled(
    webapp, stores, aged, cap, size, held, left, after
):
    (root, other_root), folder = stores, stores[0] / "tts"
    folder.mkdir(parents=True)
    for name, age in aged.items():
        (folder / name).write_bytes(b"x" * 100)
        os.utime(folder / name, (time.time() - age,) * 2)
    writer, other = Store(root, ["tts"], 0, cap), Store(other_root, ["tts"], 0, cap)
    assert other.bytes() == 100 * len(aged)  # its look at the store, fresh for seconds
    with writer.call("tts", size) as written:
        (folder / "e.wav").write_bytes(b"x" * size)
        written.append(folder / "e.wav")
    # The download in progress stays, whatever the cap.
    partial = [name for name in aged if name.startswith(".")]
    assert sorted(p.name for p in folder.iterdir()) == partial + left[0]
    with contextlib.ExitStack() as calls:
        for _ in range(held):
            calls.enter_context(writer.call("tts", size))
        assert sorted(p.name for p in folder.iterdir()) == partial + left[1]
        with pytest.raises(Full):
            with other.call("tts", size):
                pass
    # Once the calls in flight end, their room is free again; a file in its
    # grace keeps its own.
    with contextlib.nullcontext() if after else pytest.raises(Full):
        with other.call("tts", size):
            pass


@pytest.mark.real_wait
@pytest.mark.parametrize(
    "hosts, workers, cap, calls, at_once, bound",
    [
        (1, 1, 20_000_000, 60, 24, 1.0),
        (3, 2, 64 << 20, 96, 24, 1.2),
    ],
    ids=["one host, 20 MB", "three hosts of two workers, 64 MiB"],
)
def test_a_flood_of_the_largest_calls_keeps_the_store_within_its_cap_and_every_file_it_hands_out(
    fleet_factory, hosts, workers, cap, calls, at_once, bound
):
    fleet = fleet_factory(hosts, output_max_bytes=cap, workers=workers)
    try:
        with Sampled(fleet.store) as store:
            outcomes = clients.callers(
                fleet.url,
                LONGEST["text"],
                calls,
                at_once,
                speed=LONGEST["speed"],
                sources=[attacks.flood_address(i) for i in range(at_once)],
            )
    finally:
        fleet.stop()
    served = [o for o in outcomes if o["status"] == 200]
    refused = [o for o in outcomes if o["status"] != 200]
    assert len(outcomes) == calls and served
    # Every link was fetched the moment its answer was in: a complete WAV.
    assert [o["call"] for o in served if not o["served"]] == []
    # Refused before the module ran: by the store (10 s), or, where the
    # hosts are threaded and hold few calls, by the front's queue (5 s).
    assert {(o["status"], o["retry_after"]) for o in refused} <= {(503, "10"), (503, "5")}
    assert store.peak <= bound * cap, f"the store peaked at {store.peak / cap:.2f} × its cap"


def reservations(client):
    """The names in the store's reservations folder but the records of
    ended calls, and the room they hold."""
    root = client.application.extensions["webapp.store"].root
    names = os.listdir(root / RESERVED)
    records = {n for n in names if getattr(Reservation.parse(n), "kind", None) == RECORD}
    return sorted(set(names) - records), reserved_bytes(root, records)[0]


@pytest.fixture
def remote(httpserver):
    """`remote(size)`: a speech service that answers both operations with a
    link to `size` bytes of audio; its root URL."""

    def serve(size):
        httpserver.clear()
        audio = b"RIFF" + bytes(size - 4)
        httpserver.expect_request(TTS_PATH).respond_with_json(
            {"data": {"convert_result": [{"oss_url": httpserver.url_for("/a.wav")}]}}
        )
        httpserver.expect_request(CLONE_PATH).respond_with_json({"data": httpserver.url_for("/b.wav")})
        for name in ("/a.wav", "/b.wav"):
            httpserver.expect_request(name).respond_with_data(audio)
        return httpserver.url_for("/").rstrip("/")

    return serve


@pytest.mark.parametrize(
    "path, size, status",
    [
        ("/api/tts", 3_000_000, 200),  # past its estimate, within the store: it takes more room
        ("/api/tts", 30_000_000, 503),  # past the store's cap: stopped, nothing kept
        ("/api/clone", 3_000_000, 200),
        ("/api/clone", 30_000_000, 503),
    ],
)
def test_a_call_writes_only_what_the_store_has_room_for_and_raises_no_later_call(
    make_client, remote, tmp_path, path, size, status
):
    client = make_client(speech_url=remote(size), output_max_bytes=20_000_000, output_clone_reserve=1 << 20)
    body = {
        "voice_id": "v1",
        **({"text": "Short"} if path == "/api/tts" else {"audio_url": "http://x/a.wav"}),
    }
    response = client.post(path, json=body)
    assert response.status_code == status, response.get_json()
    folder = tmp_path / "output" / path.rsplit("/", 1)[-1]
    written = sorted(p.stat().st_size for p in folder.iterdir())
    if status == 200:
        assert written == [size]
    else:
        # A retry meets the same cap: none is offered.
        assert "Retry-After" not in response.headers
        assert "was stopped" in response.get_json()["error"] and written == []
    # Its room is all given back, and what it wrote raises no other call's;
    # while in its grace, it is its client's share (2.5 MB) and more.
    assert reservations(client)[1] == 0
    remote(100_000)
    assert client.post(path, json=body, environ_base={"REMOTE_ADDR": "127.9.0.1"}).status_code == 200
    assert client.post(path, json=body).status_code == (429 if status == 200 else 200)


class Interrupted(BaseException):
    """Stands for what ends a greenlet or a thread from outside (a time-out,
    a kill), which no `except Exception` stops."""


def raising(kind):
    def operation(module, path):
        raise kind

    return operation


def _writes_past_the_cap(module, path):
    with module.open(path, "xb") as file:
        file.write(bytes(ONE_CALL + 1))


def _answers_after_a_stopped_write(module, path):
    # As clone_voice answers a failed download with an error payload.
    try:
        _writes_past_the_cap(module, path)
    except Exception:
        return {"error": "Failed to cloned audio"}


@pytest.mark.parametrize(
    "operation, status",
    [
        (raising(RuntimeError), 500),
        (raising(Interrupted), None),
        (_writes_past_the_cap, 503),
        (_answers_after_a_stopped_write, 503),
        (errno.ENOSPC, 503),
        # A mount cut off from its storage: another host may reach it.
        (errno.ENOTCONN, 504),
    ],
    ids=[
        "raises",
        "interrupted",
        "write-past-the-cap",
        "answers-after-a-stopped-write",
        "store-full-disk",
        "store-unreachable",
    ],
)
def test_a_call_gives_its_room_back_however_it_ends(
    make_client, dorvane, held_tts, monkeypatch, tmp_path, operation, status
):
    client = make_client(output_max_bytes=ONE_CALL)
    if isinstance(operation, int):
        truncate = os.ftruncate
        failed = []

        def unwritable(fd, size):
            if size and not failed:
                failed.append(size)
                raise OSError(operation, os.strerror(operation))
            truncate(fd, size)

        monkeypatch.setattr(os, "ftruncate", unwritable)
    else:
        path = tmp_path / "output" / "tts" / "failing.wav"
        path.parent.mkdir(parents=True, exist_ok=True)
        monkeypatch.setattr(dorvane, "generate_tts", lambda **kwargs: operation(dorvane, path))
    if status is None:
        with pytest.raises(Interrupted):
            client.post("/api/tts", json=LONGEST)
    else:
        assert client.post("/api/tts", json=LONGEST).status_code == status
    # No room is held, and no file says otherwise: the worker's own, with
    # nothing in it, and none for the client.
    names, held = reservations(client)
    assert held == 0 and len(names) == 1
    monkeypatch.undo()
    held_tts.release.set()
    monkeypatch.setattr(dorvane, "generate_tts", held_tts)
    assert client.post("/api/tts", json=LONGEST).status_code == 200
    assert reservations(client)[1] == 0


@pytest.mark.parametrize(
    "writes, refused, most_grown",
    [
        # Small writes past the call's room take more of the store a step at
        # a time: 4 MiB in 256 writes, four steps.
        ([1 << 14] * 256, 0, (1 << 22) // GROW_STEP),
        # Stopped past the cap, a call writes nothing more, not even what its
        # room holds: as a module that catches the error and writes again.
        ([ONE_CALL + 1, 1], 2, 2),
    ],
    ids=["small-writes", "after-a-stop"],
)
def test_a_calls_writes_take_room_a_step_at_a_time_and_none_once_stopped(
    tmp_path, monkeypatch, writes, refused, most_grown
):
    store = Store(tmp_path, ["tts"], 0, ONE_CALL)
    path = tmp_path / "tts" / "a.wav"
    path.parent.mkdir()
    grown, stopped = [], []
    with contextlib.suppress(Full), store.call("tts", 100):
        reserve = store._reserve
        monkeypatch.setattr(store, "_reserve", lambda room, size: grown.append(size) or reserve(room, size))
        with opener()(path, "wb") as file:
            for size in writes:
                try:
                    file.write(bytes(size))
                except Full:
                    stopped.append(size)
    assert (len(stopped), path.stat().st_size) == (refused, sum(writes) - sum(stopped))
    assert len(grown) <= most_grown


def failing_open(where, code):
    """`open` whose files fail with `code` (ENOSPC, EDQUOT) at `where`: as
    they are opened, at a write, or at the close that flushes them."""

    def fail():
        raise OSError(code, os.strerror(code))

    def open_(file, mode="r", *args, **kwargs):
        if where == "open":
            fail()
        opened = builtins.open(file, mode, *args, **kwargs)
        if where == "write":
            opened.write = lambda data: fail()
        elif where == "close":
            opened.close = lambda: (opened.flush(), io.BufferedWriter.close(opened), fail())
        return opened

    return open_


# A disk without room answers 503 with a retry; a mount cut off from its
# storage (or a failing disk) 504, which the front tries on another host.
@pytest.mark.parametrize(
    "where, code, answer",
    [
        ("open", errno.EDQUOT, (503, "10")),
        ("write", errno.ENOSPC, (503, "10")),
        ("write", errno.EDQUOT, (503, "10")),
        ("close", errno.ENOSPC, (503, "10")),
        ("open", errno.ENOTCONN, (504, None)),
        ("write", errno.ENOTCONN, (504, None)),
        ("close", errno.EIO, (504, None)),
    ],
)
def test_a_disk_that_refuses_a_write_is_no_room_and_a_store_gone_away_none(
    make_client, dorvane, held_tts, monkeypatch, where, code, answer
):
    # The module has its `open` once an application was made with it.
    monkeypatch.setattr(dorvane, "open", opener(failing_open(where, code)), raising=False)
    client = make_client()
    held_tts.release.set()
    response = client.post("/api/tts", json=LONGEST)
    assert (response.status_code, response.headers.get("Retry-After")) == answer, response.get_json()
    assert reservations(client)[1] == 0
    monkeypatch.setattr(dorvane, "open", opener())
    assert client.post("/api/tts", json=LONGEST).status_code == 200


def test_a_full_disk_is_swept_and_reported_and_its_call_refused(make_client, held_tts, small_disk, tmp_path):
    # A disk shared with another writer, filled while a call runs: the
    # store's count had room for the call, the disk has none.
    disk = small_disk(tmp_path / "output", 16 << 20)
    old = disk / "tts" / "old.wav"
    old.parent.mkdir()
    old.write_bytes(bytes(1 << 20))
    os.utime(old, (time.time() - 120,) * 2)  # past its grace
    client = make_client()
    held_tts.size = 3 << 20
    with ThreadPoolExecutor(1) as pool:
        call = pool.submit(client.post, "/api/tts", json=LONGEST)
        wait_until(lambda: held_tts.inside, 10, "the call")
        filler = disk / "filler"
        with open(filler, "wb") as file:
            with contextlib.suppress(OSError):
                file.write(bytes(disk_free(disk) - (1 << 20)))
        held_tts.release.set()
        response = call.result(30)
    assert (response.status_code, response.headers.get("Retry-After")) == (503, "10"), response.get_json()
    assert not old.exists(), "the sweep left a file past its grace on a full disk"
    assert reservations(client)[1] == 0
    with open(filler, "ab") as file:
        with contextlib.suppress(OSError):
            file.write(bytes(1 << 20))  # what the sweep freed
    wait_until(lambda: client.health.get("/readyz").status_code == 503, 10, "readiness to see the full disk")
    assert "too few for a call" in " ".join(client.health.get("/readyz").get_json()["problems"])
    filler.unlink()
    wait_until(lambda: client.health.get("/readyz").status_code == 200, 10, "readiness to see room again")
    assert client.post("/api/tts", json=LONGEST).status_code == 200


@contextlib.contextmanager
def unix_peer(user=None):
    """A connection on a unix socket, as a host's server holds it, whose far
    end is a process of `user` (None: this process's own user)."""
    if user is None:
        ours, theirs = socket.socketpair()
        with ours, theirs:
            yield ours
        return
    # The system's interpreter, which another user may run.
    system_python = shutil.which("python3", path="/usr/bin:/bin")
    if os.geteuid() != 0 or not system_python:
        pytest.skip("only root connects as another user, with the system's python3")
    folder = Path(tempfile.mkdtemp(prefix="dorvane-peer-"))
    try:
        folder.chmod(0o711)
        path = folder / "calls.sock"
        with socket.socket(socket.AF_UNIX) as listener:
            listener.bind(str(path))
            path.chmod(0o666)
            listener.listen(1)
            connect = (
                "import socket, sys; s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.recv(1)"
            )
            child = subprocess.Popen([system_python, "-c", connect, str(path)], user=user)
            try:
                listener.settimeout(30)
                connection, _ = listener.accept()
                with connection:
                    yield connection
            finally:
                child.kill()
                child.wait()
    finally:
        shutil.rmtree(folder)


@pytest.mark.parametrize(
    "settings, workers, peer, forwarded, later, statuses, reached",
    [
        # A share of 12.5 MB of 100 MB: one of the largest calls, not two.
        ({}, 1, "127.3.0.1", None, 0, [200, 429], 1),
        ({}, 2, "127.3.0.1", None, 0, [200, 429], 1),  # counted across the workers on the store
        ({}, 1, "127.4.0.1", None, 0, [200, 200], 2),
        # A network's addresses are one client: another of its /24 shares
        # the first's share, in whatever spelling; the prefix is a setting.
        ({}, 1, "127.3.0.2", None, 0, [200, 429], 1),
        ({}, 1, "::ffff:127.3.0.9", None, 0, [200, 429], 1),
        ({"client_prefix_v4": 32}, 1, "127.3.0.2", None, 0, [200, 200], 2),
        ({}, 1, "127.3.0.1", "127.4.0.1", 0, [200, 429], 1),  # a client cannot name another
        ({}, 1, "", "127.3.0.1", 0, [200, 429], 1),  # behind the front (a unix socket): its word
        ({}, 1, "", "127.4.0.1", 0, [200, 200], 2),
        ({}, 1, "", "127.3.0.200", 0, [200, 429], 1),
        # Another user's process on the socket is a client of its own,
        # whatever it names.
        ({}, 1, "nobody", "127.3.0.1", 0, [200, 200], 2),
        # Room for one call: the first holds it until its hold runs out;
        # then both write, and one finds room, the other is stopped.
        ({"output_max_bytes": ONE_CALL, "output_hold": 1.0}, 1, "127.4.0.1", None, 0, [200, 503], 1),
        ({"output_max_bytes": ONE_CALL, "output_hold": 1.0}, 1, "127.4.0.1", None, 1.5, [200, 503], 2),
    ],
    ids=[
        "same",
        "same-other-worker",
        "other",
        "same-network",
        "same-network-mapped",
        "prefix-setting",
        "forged",
        "front-same",
        "front-other",
        "front-same-network",
        "forged-on-the-socket",
        "held",
        "hold-over",
    ],
)
def test_a_call_finds_room_where_other_calls_leave_it(
    webapp, dorvane, held_tts, tmp_path, settings, workers, peer, forwarded, later, statuses, reached
):
    settings = webapp.Settings(**{"output_max_bytes": 100_000_000, **settings})
    clients = [webapp.create_app(dorvane, settings).test_client() for _ in range(workers)]

    def call(worker, address, headers):
        # An address is a TCP peer's; else the call comes on a unix socket
        # (the front's, as this process's own user, or a user's of that name).
        if address.startswith("127.") or ":" in address:
            holder = contextlib.nullcontext()
        else:
            holder = unix_peer(address or None)
        with holder as connection:
            environ = {"REMOTE_ADDR": address if connection is None else "", "gunicorn.socket": connection}
            response = clients[worker].post("/api/tts", json=LONGEST, environ_base=environ, headers=headers)
        return response.status_code, response.headers.get("Retry-After")

    with ThreadPoolExecutor(2) as pool:
        first = pool.submit(call, 0, "127.3.0.1", {})
        while not held_tts.inside:
            time.sleep(0.01)
        time.sleep(later)
        second = pool.submit(call, workers - 1, peer, {"X-Forwarded-For": forwarded} if forwarded else {})
        while len(held_tts.inside) < 2 and not second.done():
            time.sleep(0.01)
        held_tts.release.set()
        answers = sorted([first.result(), second.result()])
    assert answers == [(status, "10" if status in (429, 503) else None) for status in statuses]
    assert len(held_tts.inside) == reached
    assert store_bytes(tmp_path / "output", FOLDERS) <= settings.output_max_bytes


@pytest.mark.parametrize(
    "first, second, same",
    [
        ("2001:db8:1:2::1", "2001:db8:1:2:ffff::9", True),
        ("2001:db8:1:2::1", "2001:db8:1:3::1", False),
        ("127.3.0.1", "::ffff:127.3.0.77", True),
        ("127.3.0.1", "127.3.1.1", False),
        ("not-an-address", "not-an-address", True),
        ("not-an-address", "not-an-address-either", False),
    ],
)
def test_a_client_is_its_addresss_network(first, second, same):
    assert (api.client_network(first, 24, 64) == api.client_network(second, 24, 64)) == same


@pytest.mark.parametrize(
    "kind, client, written, landed",
    [
        (WORKER, "", 0, 0.0),
        (MAKING, "", 0, 0.0),
        (CLIENT, "9f2c", 0, 0.0),
        (RECORD, "", 5_381_336, 1_765_000_000.25),
        (RECORD, "9f2c", 1, 1_765_000_000.0),
    ],
)
def test_every_reservation_name_reads_back_as_what_it_was_made_for(kind, client, written, landed):
    name = Reservation.name_of(kind, "3a7b", client, written, landed)
    read = Reservation.parse(name)
    assert (read.kind, read.name, read.worker, read.client) == (kind, name, "3a7b", client)
    assert (read.written, read.landed) == (written, landed)


def warm(standin, text, speed):
    """Has the stand-in speak `text` once: the first synthesis of a long
    text may take longer than a host waits for it."""
    body = {"data": [text, "en-us", str(speed), "1", "1", "0"]}
    requests.post(standin.speech_url + TTS_PATH, json=body, verify=str(standin.ca_path), timeout=120)


@pytest.mark.real_wait
def test_a_flood_of_spelled_out_text_keeps_the_store_within_its_cap_and_raises_no_later_call(
    fleet_factory, standin_services
):
    cap, grace = 64 << 20, 10
    warm(standin_services, SPELLED, 0.5)
    warm(standin_services, LONGEST["text"], 0.5)
    fleet = fleet_factory(3, output_max_bytes=cap, output_grace=grace)
    try:
        sources = [attacks.flood_address(i) for i in range(20)]
        with Sampled(fleet.store) as store:
            outcomes = clients.callers(fleet.url, SPELLED, 80, 40, speed=0.5, sources=sources)
        time.sleep(grace + 1)
        after = clients.post_tts(fleet.url, LONGEST["text"], "after-the-flood", speed=0.5)
    finally:
        fleet.stop()
    assert len(outcomes) == 80
    assert store.peak <= 1.2 * cap, f"the store peaked at {store.peak / cap:.2f} × its cap"
    # What the flood's calls wrote raised no other call's room.
    assert after["status"] == 200, after["error"]


@pytest.mark.real_wait
@pytest.mark.usefixtures("small_disk")  # root only: the fleet mounts the store's disk itself
def test_a_flood_on_a_disk_smaller_than_the_cap_is_no_room_and_honest_calls_follow_the_grace(
    fleet_factory, standin_services
):
    grace, hostile = 10, SPELLED[:200]
    warm(standin_services, hostile, 0.5)
    warm(standin_services, LONGEST["text"], 0.5)
    # The default cap of 1 GiB, on a disk of 160 MiB.
    fleet = fleet_factory(3, store_size=160 << 20, output_grace=grace)
    try:
        sources = [attacks.flood_address(i) for i in range(12)]
        with Sampled(fleet.store) as store:
            outcomes = clients.callers(fleet.url, hostile, 12, 12, speed=0.5, sources=sources)
        time.sleep(grace + 1)
        after = [clients.post_tts(fleet.url, LONGEST["text"], f"after-{i}", speed=0.5) for i in range(3)]
    finally:
        fleet.stop()
    statuses = sorted(o["status"] for o in outcomes)
    assert len(outcomes) == 12 and set(statuses) <= {200, 503}, statuses
    assert all(o["retry_after"] for o in outcomes if o["status"] == 503)
    assert store.peak <= 160 << 20
    assert [o["status"] for o in after] == [200] * 3, [o["error"] for o in after]


@pytest.mark.real_wait
def test_many_addresses_of_one_network_leave_other_networks_room_for_short_calls(
    fleet_factory, standin_services
):
    warm(standin_services, LONGEST["text"], 0.5)
    fleet = fleet_factory(3, output_max_bytes=64 << 20)
    flood = []
    # 40 addresses of one /24, each looping the largest calls, for as long
    # as the honest calls last (the fleet's stop ends the rest at once).
    flooding = threading.Thread(
        target=lambda: flood.extend(
            clients.callers(
                fleet.url,
                LONGEST["text"],
                4000,
                40,
                speed=0.5,
                sources=[attacks.network_address(i) for i in range(40)],
            )
        ),
        daemon=True,
    )
    try:
        flooding.start()
        time.sleep(5)  # the flood holds what it may
        honest = clients.callers(
            fleet.url, "Short and honest.", 25, 4, speed=1, sources=["127.6.0.1", "127.6.0.2"], label="honest"
        )
    finally:
        fleet.stop()
        flooding.join(60)
    served = [o for o in honest if o["status"] == 200 and o.get("served")]
    assert len(served) >= 0.9 * len(honest), [o["status"] for o in honest]
    assert flood and not flooding.is_alive()


@pytest.mark.real_wait
def test_slow_clones_from_one_address_leave_other_addresses_room_for_their_largest_calls(
    fleet_factory, standin_services, scripted
):
    scripted.route("/slow.wav", lambda request: trickle(20))
    warm(standin_services, LONGEST["text"], LONGEST["speed"])
    fleet = fleet_factory(1)  # the default store of 1 GiB

    def clone():
        request = urllib.request.Request(
            fleet.url.rstrip("/") + "/api/clone",
            data=json.dumps({"audio_url": scripted.url + "/slow.wav", "voice_id": "v1"}).encode(),
            headers={"Content-Type": "application/json"},
        )
        with contextlib.suppress(OSError):  # refused, or cut off as the fleet stops
            clients.opener(attacks.flood_address(0)).open(request, timeout=150).close()

    try:
        for _ in range(32):
            threading.Thread(target=clone, daemon=True).start()
        time.sleep(5)  # the clones in, their recordings trickling
        honest = [attacks.flood_address(i) for i in range(1, 5)]
        outcomes = clients.callers(
            fleet.url, LONGEST["text"], 40, 8, speed=LONGEST["speed"], sources=honest, label="honest"
        )
    finally:
        fleet.stop()
    served = [o for o in outcomes if o["status"] == 200 and o.get("served")]
    assert len(served) >= 0.9 * len(outcomes), f"{len(served)} of {len(outcomes)} served"
