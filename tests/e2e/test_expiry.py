"""The expiry of the output store's files, and its count: old output goes,
the oldest first when the store is over its cap, one sweeper at a time, and
never a download in progress or a file being sent; a worker counts the
store with its master's count where one counts, and the timed loops go on
whatever fails."""

import os
import threading
import time
import types
from pathlib import Path

import pytest
from webapp import periodic
from webapp.locks import try_lock
from webapp.store import Publisher, Store, census, reservations, sweep
from webapp.store import store as worker_store
from webapp.store.census import RECORD_AGE, RESCAN_AFTER, RESTAT_TURN, Census
from webapp.store.count import PUBLISHED_POLL, RESERVE_WAIT, Uncounted

from support.measure import store_bytes

NOW = 1_000_000.0
FOLDERS = ["tts", "clone"]


def aged(root, files, now=NOW):
    """Writes each of `files` (path under `root`: (age in seconds, its
    content or its size)) as last changed that long before `now`; returns
    `root`."""
    for name, (age, content) in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content if isinstance(content, bytes) else b"x" * content)
        os.utime(path, (now - age, now - age))
    return root


@pytest.fixture
def store(tmp_path):
    """An output store with files of every kind, aged as named."""
    return aged(
        tmp_path / "store",
        {
            "tts/old.wav": (7200, 1),
            "tts/new.wav": (60, 1),
            "clone/old%20clone.wav": (7200, 1),
            "tts/.dorvane-0a1b.part": (7200, 1),  # a download in progress
            "tts/.dorvane-dead.part": (sweep.STALE_PART_AGE + 1, 1),  # one whose writer died
            "music/old.wav": (7200, 1),  # not an output folder
        },
    )


@pytest.fixture
def sized_store(tmp_path):
    """Four finished files of 100 bytes, a minute apart in age, and a
    download in progress older than all of them."""
    return aged(
        tmp_path / "output",
        {
            "tts/a.wav": (400, 100),
            "tts/b.wav": (300, 100),
            "tts/c.wav": (200, 100),
            "tts/d.wav": (100, 100),
            "tts/.dorvane-77.part": (500, 100),
        },
    )


def test_expiry_removes_old_output_and_never_a_download_in_progress(store):
    removed = sweep.sweep(store, FOLDERS, max_age=3600, now=NOW).removed
    assert sorted(Path(p).relative_to(store).as_posix() for p in removed) == [
        "clone/old%20clone.wav",
        "tts/.dorvane-dead.part",
        "tts/old.wav",
    ]
    left = sorted(p.relative_to(store).as_posix() for p in store.rglob("*") if p.is_file())
    assert left == [".expiry.lock", "music/old.wav", "tts/.dorvane-0a1b.part", "tts/new.wav"]


def test_expiry_runs_on_one_host_at_a_time(store):
    with try_lock(store / sweep.LOCK_NAME) as held:
        assert held
        assert sweep.sweep(store, FOLDERS, max_age=3600, now=NOW) is None
        assert (store / "tts" / "old.wav").exists()
    assert len(sweep.sweep(store, FOLDERS, max_age=3600, now=NOW).removed) == 3


@pytest.mark.parametrize("released_after, swept", [(0.1, True), (None, False)])
def test_a_sweep_told_to_wait_takes_the_lock_once_it_is_free_within_the_wait(store, released_after, swept):
    held, release = threading.Event(), threading.Event()

    def holder():
        with try_lock(store / sweep.LOCK_NAME):
            held.set()
            release.wait(10)

    thread = threading.Thread(target=holder)
    thread.start()
    assert held.wait(10)
    if released_after is not None:
        threading.Timer(released_after, release.set).start()
    result = sweep.sweep(store, FOLDERS, max_age=3600, now=NOW, wait=1.0)
    release.set()
    thread.join(10)
    assert (result is not None, (store / "tts" / "old.wav").exists()) == (swept, not swept)


@pytest.mark.parametrize(
    "max_bytes, held, left",
    [
        (0, None, "abcd"),
        (500, None, "abcd"),
        (450, None, "bcd"),  # over: down to 90% of the cap, oldest first
        (300, None, "d"),
        (300, "a.wav", "a"),  # a file being sent stays; the next oldest go instead
        (50, None, ""),  # the download in progress stays even so
    ],
)
def test_over_its_cap_the_store_loses_its_oldest_files_first(sized_store, max_bytes, held, left):
    reader = sweep.hold_for_reading(sized_store / "tts" / held) if held else None
    try:
        swept = sweep.sweep(sized_store, FOLDERS, max_age=0, max_bytes=max_bytes, now=NOW)
    finally:
        if reader is not None:
            os.close(reader)
    files = sorted(p.name for p in (sized_store / "tts").iterdir())
    assert files == [".dorvane-77.part"] + [f"{c}.wav" for c in left]
    assert (
        swept.remaining
        == sum((sized_store / "tts" / f).stat().st_size for f in files)
        == 100 * (len(left) + 1)
    )


def test_a_file_being_sent_is_kept_until_its_answer_ends(make_client, tmp_path):
    files = {"tts/old.wav": (7200, b"old.wav" * 200), "tts/new.wav": (60, b"new.wav" * 200)}
    folder = aged(tmp_path / "output", files, time.time()) / "tts"
    client = make_client(output_max_age=3600)
    store = client.application.extensions["webapp.store"]
    sending = client.get("/output/tts/old.wav", buffered=False)
    assert sending.status_code == 200
    assert store.sweep().removed == []
    assert (folder / "old.wav").exists() and (folder / "new.wav").exists()
    assert sending.get_data() == b"old.wav" * 200
    sending.close()
    assert [Path(p).name for p in store.sweep().removed] == ["old.wav"]


@pytest.mark.parametrize(
    "name, age, kept",
    [
        ("{worker}.{call}.600.{landed}", RECORD_AGE - 2, True),  # a late look may still need it
        ("{worker}.{call}.600.{landed}", RECORD_AGE + 2, False),  # no look does
        ("{dead}.{client}", RECORD_AGE + 2, False),  # a client's room, kept by a dead worker
        ("{worker}.{client}", RECORD_AGE + 2, True),  # by a living one
        (".{dead}", RECORD_AGE + 2, False),  # a worker's file, being made as it died
        # A client's call's record charges its files to its share in their grace.
        ("{worker}.{call}.600.{landed}.{client}", worker_store.GRACE - 2, True),
        ("{worker}.{call}.600.{landed}.{client}", worker_store.GRACE + 2, False),
    ],
    ids=[
        "record-fresh",
        "record-old",
        "dead-workers-client",
        "living-workers-client",
        "dead-worker-making",
        "clients-record-in-grace",
        "clients-record-past-grace",
    ],
)
def test_the_reservations_keep_only_what_calls_in_flight_and_late_looks_need(tmp_path, name, age, kept):
    root = tmp_path / "store"
    with Store(root, ["tts"], 0, 1000).call("tts", 10):
        (worker,) = os.listdir(root / reservations.RESERVED)
        now = time.time()
        made = (
            root
            / reservations.RESERVED
            / name.format(
                worker=worker, dead="0" * 16, call="1" * 16, client="2" * 16, landed=int((now - age) * 1000)
            )
        )
        made.write_bytes(b"")
        os.utime(made, (now - age,) * 2)
        sweep.sweep(root, ["tts"], max_age=0, now=now, grace=worker_store.GRACE)
        assert sorted(os.listdir(root / reservations.RESERVED)) == sorted(
            {worker, made.name} if kept else {worker}
        )


def test_a_census_follows_the_store_between_looks_without_restating_every_file(tmp_path, monkeypatch):
    many = {f"tts/{i}.wav": (60, 1) for i in range(96)}
    root = aged(
        tmp_path / "store", {"tts/a.wav": (60, 10), "clone/b.wav": (60, 20), "tts/.part": (1, 5), **many}
    )
    (root / "tts" / "link.wav").symlink_to(root / "tts" / "a.wav")
    (root / "tts" / "folder").mkdir()
    census = Census(root, FOLDERS)
    assert census.bytes() == store_bytes(root, FOLDERS) == 131

    stated = []
    real_lstat = os.lstat
    monkeypatch.setattr(os, "lstat", lambda path: stated.append(Path(path).name) or real_lstat(path))
    (root / "tts" / "c.wav").write_bytes(b"x" * 100)
    (root / "clone" / "b.wav").unlink()
    (root / "tts" / ".part").write_bytes(b"x" * 50)  # a partial download grows
    counted, stated_by_census = census.bytes(), list(stated)  # Path.lstat is os.lstat's on 3.14
    assert counted == store_bytes(root, FOLDERS) == 256
    # The new name, the partial download, and a few in their turn, not all 100.
    assert {".part", "c.wav"} <= set(stated_by_census), stated_by_census
    assert len(stated_by_census) <= 2 + 100 * RESTAT_TURN + 1, stated_by_census

    # A file replaced under its own name is counted anew when its turn comes.
    (root / "tts" / "a.wav").write_bytes(b"x" * 1000)
    for _ in range(round(1 / RESTAT_TURN)):
        census.bytes()
    assert census.bytes() == store_bytes(root, FOLDERS) == 1246


@pytest.mark.parametrize(
    "published, counted",
    [
        ("fresh", 10),
        ("late", 30),  # the master's next look, awaited
        ("stale", Uncounted),  # none came
        ("garbled", 30),
        ("another process's", 30),
        ("none", 30),
    ],
)
def test_a_worker_takes_its_masters_count_waits_for_a_late_one_and_counts_only_with_no_master(
    tmp_path, monkeypatch, published, counted
):
    root = aged(tmp_path / "store", {"tts/a.wav": (60, 10)})
    path = tmp_path / "look.json"
    clock = [time.monotonic()]
    monkeypatch.setattr(time, "monotonic", lambda: clock[0])
    if published != "none":
        Publisher(path, root, FOLDERS).publish()
    if published == "garbled":
        path.write_text('{"bytes": 10}')
    if published == "another process's":
        path.write_text(path.read_text().replace(f'"pid": {os.getpid()}', '"pid": 1'))
    if published in ("late", "stale"):
        clock[0] += RESCAN_AFTER

    def sleep(seconds):
        clock[0] += seconds
        if published == "late":
            Publisher(path, root, FOLDERS).publish()

    monkeypatch.setattr(time, "sleep", sleep)
    (root / "tts" / "b.wav").write_bytes(b"x" * 20)  # landed after the host's look
    store = Store(root, FOLDERS, 0, 1000, published=path)
    started = clock[0]
    if counted is Uncounted:
        with pytest.raises(Uncounted):
            store.bytes()
        assert clock[0] - started == pytest.approx(RESERVE_WAIT, abs=PUBLISHED_POLL)
    else:
        assert store.bytes() == counted
    # Where a master counts, the worker never lists the store itself.
    assert (store._count._census._sizes == {}) == (published in ("fresh", "late", "stale"))


# The default look age, and a setting shorter than it; a count at once, and
# one that takes two fifths of the look age (a store over a network file
# system that loses packets).
@pytest.mark.parametrize("look_age", [RESCAN_AFTER, 1.0])
@pytest.mark.parametrize("counting", [0.0, 0.4])
def test_the_master_counts_often_enough_that_no_worker_waits_for_a_count(
    webapp, monkeypatch, look_age, counting
):
    # The master's timer, turned by hand on the test's clock as it is timed.
    timers = []
    monkeypatch.setattr(
        census, "periodic", types.SimpleNamespace(every=lambda *timer, **how: timers.append((timer, how)))
    )
    clock = [time.monotonic()]
    monkeypatch.setattr(time, "monotonic", lambda: clock[0])
    monkeypatch.setattr(time, "sleep", lambda seconds: pytest.fail("a worker waited for its master's count"))
    look, seconds = census.look, counting * look_age

    def slow_look(*store):
        clock[0] += seconds
        return look(*store)

    monkeypatch.setattr(census, "look", slow_look)
    settings = webapp.Settings(output_max_age=0, output_max_bytes=0, store_look_age=look_age)
    master, _ = webapp.start_expiry(settings)
    [((every, publish, _), how)] = timers
    worker = Store(master.root, FOLDERS, 0, 0, published=master.published, look_age=look_age)
    publish()
    for _ in range(3):
        began = clock[0] - seconds
        # The next look lands: the one before is as old as it gets.
        clock[0] = (began if how.get("from_start") else clock[0]) + every + seconds
        assert worker.bytes() == 0
        clock[0] -= seconds
        publish()


def test_a_fork_waits_for_the_timed_sweep_so_that_no_child_keeps_its_lock(tmp_path, monkeypatch):
    # The server's master sweeps on a thread and forks its workers.
    inside, go_on = threading.Event(), threading.Event()

    def slow_sweep(store, folders, **limits):
        # The first sweep holds the lock; the later ones keep off it, so that
        # none takes it from the child before the child looks.
        if inside.is_set():
            return
        with try_lock(Path(store) / sweep.LOCK_NAME) as held:
            if held:
                inside.set()
                go_on.wait(10)

    monkeypatch.setattr(worker_store, "sweep", slow_sweep)
    store = Store(tmp_path, FOLDERS, 3600, 0, interval=0.01)
    stop = store.start()
    try:
        assert inside.wait(10)
        threading.Timer(0.2, go_on.set).start()
        pid = os.fork()
        if pid == 0:
            with try_lock(tmp_path / sweep.LOCK_NAME) as held:
                os._exit(0 if held else 1)
        assert os.waitpid(pid, 0)[1] == 0
    finally:
        go_on.set()
        stop()


@pytest.mark.parametrize("error", [OSError(5, "EIO"), ValueError("garbled"), RecursionError()])
@pytest.mark.parametrize("loop", ["sweeper", "publisher"])
def test_the_timed_loops_go_on_after_any_error(tmp_path, monkeypatch, loop, error):
    turns = []

    def failing_once(*args, **kwargs):
        turns.append(1)
        if len(turns) == 1:
            raise error

    if loop == "sweeper":
        monkeypatch.setattr(worker_store, "sweep", failing_once)
        runner = Store(tmp_path, FOLDERS, 3600, 0, interval=0.01)
    else:
        runner = Publisher(tmp_path / "look.json", tmp_path, FOLDERS)
        monkeypatch.setattr(runner, "publish", failing_once)
    stop = runner.start(**({} if loop == "sweeper" else {"every": 0.01}))
    try:
        deadline = time.monotonic() + 10
        while len(turns) < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert len(turns) >= 3
    finally:
        stop()


@pytest.mark.parametrize("from_start", [True, False])
def test_a_timer_from_each_runs_start_follows_a_long_run_at_once(monkeypatch, from_start):
    # Each run takes twice the timer's 5 s on the timer's clock.
    clock, runs = [0.0], []
    monkeypatch.setattr(periodic, "time", types.SimpleNamespace(monotonic=lambda: clock[0]))

    def long_run():
        runs.append(clock[0])
        clock[0] += 10

    stop = periodic.every(5, long_run, "long-runs", from_start=from_start)
    try:
        deadline = time.monotonic() + 2
        while len(runs) < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        # Timed from the end, the second run is 5 s of real time away.
        assert (len(runs) >= 3) == from_start, runs[:3]
    finally:
        stop()


@pytest.mark.parametrize("free, swept", [(0, True), (1 << 30, False)])
def test_the_timed_sweeper_sweeps_a_disk_too_full_for_a_call_at_once(tmp_path, monkeypatch, free, swept):
    monkeypatch.setattr(worker_store, "RESCAN_AFTER", 0.01)
    monkeypatch.setattr(worker_store, "disk_free", lambda store: free)
    turns = []
    monkeypatch.setattr(worker_store, "sweep", lambda *args, **kwargs: turns.append(1))
    stop = Store(tmp_path, FOLDERS, 3600, 1000, interval=3600).start()
    try:
        deadline = time.monotonic() + (10 if swept else 0.5)
        while not turns and time.monotonic() < deadline:
            time.sleep(0.01)
    finally:
        stop()
    assert bool(turns) == swept
