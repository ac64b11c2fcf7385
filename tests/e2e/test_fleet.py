"""Two application hosts behind the front on one shared output store: links
resolve whichever host made the file, and losing a host under load costs
no call: the front tries the calls it held again on the other. The hosts
keep their connections to the speech service. Hosts run the module's real
wait."""

import contextlib

import clients
import pytest

from support.processes import wait_until
from testing import front_log

pytestmark = pytest.mark.real_wait


@pytest.fixture(scope="module")
def fleet(fleet_factory):
    fleet = fleet_factory(2, threads=32)
    yield fleet
    fleet.stop()


@pytest.mark.parametrize(
    "stored, path, served",
    [
        ("a%20b.wav", "/output/clone/a%20b.wav", True),  # clone_voice's escaped blank, as linked
        ("a b.wav", "/output/clone/a%20b.wav", True),
        ("plain.wav", "/output/tts/plain.wav", True),
        (".dorvane-00ff.part", "/output/tts/.dorvane-00ff.part", False),
        ("plain.wav", "/output/tts/..%2Fplain.wav", False),
        ("plain.wav", "/output/music/plain.wav", False),
    ],
)
def test_the_balancer_serves_stored_files_by_their_links(fleet, stored, path, served):
    kind = "tts" if "/tts/" in path else "clone"
    (fleet.store / kind / stored).write_bytes(b"stored bytes")
    status, body = clients.fetch(fleet.url.rstrip("/") + path)
    assert (status, body) == ((200, b"stored bytes") if served else (404, b""))


def test_each_host_answers_its_probes_and_metrics_under_its_name(fleet):
    import json

    on_disk = sum(p.stat().st_size for p in fleet.store.rglob("*") if p.is_file() and p.parent != fleet.store)
    for host in fleet.hosts:
        # Every host reports the one shared store, files others wrote
        # included, as of its latest count: at most some seconds old.
        assert host.live()

        def readiness(host=host):
            status, body, headers = host.get("/readyz")
            assert status == 200 and headers["X-Served-By"] == host.name
            return json.loads(body)

        with contextlib.suppress(TimeoutError):
            wait_until(lambda: readiness().get("output_bytes") == on_disk, 20, step=0.5)
        health = readiness()
        # A gevent worker's loop turns on a half-second tick: a lag beyond
        # that is a loop running late. Threaded workers have no loop.
        lag = health.pop("loop_lag_seconds", None)
        assert lag is None or 0 <= lag < 5, lag
        # What the store's disk has free, as of the latest look.
        assert health.pop("output_disk_free") > 0
        assert health == {
            "status": "ok",
            "served_by": host.name,
            "output_bytes": on_disk,
            "output_max_bytes": 1 << 30,
        }
        assert clients.in_flight(host) == 0


def test_losing_a_host_under_load_loses_no_call(fleet):
    first = clients.Burst(fleet.url, 16, "first").start()
    # All sixteen are inside the module's ten-second wait before the kill.
    with contextlib.suppress(TimeoutError):
        wait_until(lambda: sum(clients.in_flight(h) for h in fleet.hosts) >= 16, 8, step=0.1)
    killed, live = fleet.hosts
    lost = clients.in_flight(killed)
    assert lost > 0 and clients.in_flight(live) > 0, "the calls did not spread over both hosts"
    events = len(fleet.supervisor.events)
    killed.kill()
    before = first.join()
    after = clients.Burst(fleet.url, 12, "after").start().join()

    # The calls the killed host held were tried again on the live one (a
    # speech call may be repeated), and so were all the others served.
    retried = front_log.retried(fleet.access_log, [r["call"] for r in before])
    assert [r["status"] for r in before] == [200] * 16
    assert sum(retried[r["call"]] > 0 for r in before) == lost
    assert {r["served_by"] for r in before if retried[r["call"]]} == {live.name}
    # Every new call succeeds, on the host that is left or on the killed
    # one restarted.
    assert [r["status"] for r in after] == [200] * 12

    served = [r["link"] for r in before + after if r["status"] == 200]
    assert len(served) == 16 + 12
    for link in served:
        status, data = clients.fetch(link)
        assert status == 200 and clients.complete_wav(data), link
    # Whatever the killed host left under a final name is complete; a
    # partial download could only be a hidden file, which nobody is served.
    stored = list((fleet.store / "tts").glob("tts-*.wav"))
    assert len(stored) >= len(served)
    for path in stored:
        assert clients.complete_wav(path.read_bytes()), path

    # Restarted by the supervisor, back in the rotation, and given calls again.
    wait_until(lambda: killed.healthy() and fleet.host_states()[killed.server] == "UP", 15)
    assert [what for _, name, what in fleet.supervisor.events[events:] if name == killed.server][:2] == [
        "exited (-9)",
        "restarted after 0.1 s",
    ]
    again = clients.Burst(fleet.url, 4, "again").start().join()
    assert [r["status"] for r in again] == [200] * 4 and killed.name in {r["served_by"] for r in again}


@pytest.mark.parametrize("keep", [True, False], ids=["kept", "not-kept"])
def test_the_hosts_keep_their_connections_to_the_speech_service(fleet_factory, standin_services, keep):
    calls = 120
    # One client making them all, out of the way of the front's limits for one.
    front = {"client_calls": calls, "client_connections": calls + 16}
    hosts = fleet_factory(2, front=front, keep_connections=keep)
    try:
        before = standin_services.connections["speech"]
        # Arriving over six seconds, as steady traffic does, all in flight
        # together for most of their wait.
        burst = clients.Burst(hosts.url, calls, f"kept-{keep}", text="One text, spoken from memory.")
        results = burst.start(every=0.05).join()
        opened = standin_services.connections["speech"] - before
    finally:
        hosts.stop()
    assert [r["status"] for r in results] == [200] * calls
    # A request and its audio's download each: two a call without kept connections.
    if keep:
        assert opened <= 0.2 * calls
    else:
        assert opened == 2 * calls
