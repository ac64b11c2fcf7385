"""The output store keeps what it has handed out: a call is given room in
the one store before the module runs, room counted by every worker of
every host, or is refused at once; a file a call answered with stays for
the grace whatever the cap. In process with the module's operations
replaced where a test holds calls in flight, then through fleets under a
flood of the largest calls, with the real wait."""

import os
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from .conftest import WEBAPP

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
FOLDERS = ["tts", "clone"]


class Sampled:
    """The bytes in a store's output folders, sampled on a thread while the
    block runs; `peak` is the largest reading."""

    def __init__(self, root, interval=0.05):
        import expiry

        self.read = lambda: expiry.store_bytes(root, FOLDERS)
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
            path.write_bytes(b"RIFF" + bytes(self.size - 4))
            os.utime(path, (time.time() - self.aged,) * 2)
            return {"data": {"convert_result": [{"oss_url": f"{base_url}output/tts/{name}"}]}}

    held = Held()
    monkeypatch.setattr(dorvane, "generate_tts", held)
    return held


@pytest.mark.parametrize("workers", [1, 3])
def test_fresh_workers_admit_no_more_calls_than_the_store_can_hold(webapp, dorvane, held_tts, workers):
    cap, callers = 20_000_000, 24
    # Workers on one store: each its own application, as each gunicorn
    # worker of each host is, all in the one working directory.
    clients = [
        webapp.create_app(dorvane, webapp.Settings(output_max_bytes=cap)).test_client()
        for _ in range(workers)
    ]
    answers = []

    def call(client):
        response = client.post("/api/tts", json=LONGEST)
        answers.append((response.status_code, response.headers.get("Retry-After"), response.get_json()))

    with ThreadPoolExecutor(callers) as pool:
        for i in range(callers):
            pool.submit(call, clients[i % workers])
        deadline = time.monotonic() + 20
        while len(held_tts.inside) + len(answers) < callers and time.monotonic() < deadline:
            time.sleep(0.01)
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


HOLDER = """
import sys, time
import expiry

store = expiry.Store(sys.argv[1], ["tts"], 0, int(sys.argv[2]))
with store.call("tts", int(sys.argv[3])):
    print("reserved", flush=True)
    time.sleep(60)
"""


def test_a_reservation_holds_its_room_for_as_long_as_its_worker_lives(webapp, tmp_path, monkeypatch):
    import expiry

    root, cap = tmp_path / "store", 1000
    holder = subprocess.Popen(
        [sys.executable, "-c", HOLDER, str(root), str(cap), "600"],
        stdout=subprocess.PIPE,
        text=True,
        env=dict(os.environ, PYTHONPATH=str(WEBAPP)),
    )
    try:
        assert holder.stdout.readline() == "reserved\n"
        with pytest.raises(expiry.Full):
            with expiry.Store(root, ["tts"], 0, cap).call("tts", 600):
                pass
    finally:
        holder.send_signal(signal.SIGKILL)  # as a killed host dies: no cleanup
        holder.wait(10)
    # The dead worker's room is found free by the next call's sweep.
    with expiry.Store(root, ["tts"], 0, cap).call("tts", 600):
        pass


def test_a_call_that_just_ended_is_counted_by_workers_that_looked_before_it(webapp, tmp_path):
    import expiry

    root, cap = tmp_path / "store", 1000
    writer, other = expiry.Store(root, ["tts"], 0, cap), expiry.Store(root, ["tts"], 0, cap)
    assert other.bytes() == 0  # its look at the store, fresh for seconds
    with writer.call("tts", 600) as written:
        (root / "tts").mkdir(parents=True)
        (root / "tts" / "a.wav").write_bytes(b"x" * 600)
        written.append(root / "tts" / "a.wav")
    # The file landed after the other worker looked, and the reservation
    # that covered it is gone: the other must count the file all the same.
    with pytest.raises(expiry.Full):
        with other.call("tts", 600):
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
    fleet_factory, fleet_calls, hosts, workers, cap, calls, at_once, bound
):
    fleet = fleet_factory(hosts, output_max_bytes=cap, workers=workers)
    try:
        with Sampled(fleet.store) as store:
            outcomes = fleet_calls.callers(fleet.url, LONGEST["text"], calls, at_once, speed=LONGEST["speed"])
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
