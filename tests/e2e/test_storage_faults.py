"""The store on a GlusterFS volume over two storage machines, under load,
while its storage fails: a storage machine dies outright and returns, a
host's machine loses the storage, the storage network drops packets. No
call fails, and every file handed out is served."""

import json
import subprocess
import threading
import time
from pathlib import Path

import clients
import gluster
import pytest

from support.processes import wait_until
from testing import front_log

from .test_failover import all_up, assert_all_served, calls, start_stack

pytestmark = pytest.mark.real_wait

TEXT = "A call through the fleet while its storage fails."


@pytest.fixture(scope="module")
def stored(launch, open_folders, tmp_path_factory):
    from support.installation import install

    if why := gluster.available():
        pytest.skip(why)
    site = install(tmp_path_factory.mktemp("storage-site") / "site")
    stack = start_stack(launch, open_folders("gluster"), site, netns=True, store="gluster")
    runtime, number = stack.fleet.runtime, stack.fleet.network.number
    yield stack
    stack.stop()
    # Nothing it made is left: mounts, namespaces, storage daemons.
    with open("/proc/self/mountinfo") as mounts:
        assert str(runtime) not in mounts.read()
    names = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout.split()
    assert not [ns for ns in names if ns.startswith(f"dorvane-{number}-")]
    assert not [pid for pid in Path("/proc").glob("[0-9]*") if str(runtime).encode() in cmdline(pid)]


def cmdline(process):
    try:
        return (process / "cmdline").read_bytes()
    except OSError:
        return b""  # gone meanwhile


def loaded(stack, count, at_once, during):
    """`count` calls, `at_once` at a time, while `during()` runs beside
    them; the outcomes, and the front's view of the hosts meanwhile: each
    change of their states, with its time."""
    outcomes, states = [], []
    caller = threading.Thread(
        target=lambda: outcomes.extend(clients.callers(stack.base_url, TEXT, count, at_once)), daemon=True
    )
    caller.start()
    watcher = threading.Thread(target=watch, args=(stack.fleet, caller, states), daemon=True)
    watcher.start()
    during()
    caller.join(600)
    watcher.join(10)
    assert not caller.is_alive()
    return outcomes, states


def watch(fleet, caller, states):
    while caller.is_alive():
        try:
            now = fleet.host_states()
        except (OSError, RuntimeError) as e:
            now = repr(e)
        if not states or states[-1][1] != now:
            states.append((time.monotonic(), now))
        time.sleep(0.2)


def assert_served_when_answered(stack, outcomes, states):
    failed = [o for o in outcomes if o["status"] != 200 or not o["served"]]
    if failed:
        # The whole outcomes, with what the front did with each, the front's
        # view of the hosts and what the supervisor did, as text.
        logged = front_log.entries(stack.fleet.access_log, [o["call"] for o in failed], 10)
        for o in failed:
            o["front"] = logged.get(o["call"])
        print("hosts at the front:", *states, sep="\n")
        print("supervisor:", *stack.fleet.supervisor.events, sep="\n")
    assert not failed, json.dumps(failed)


def test_a_storage_machine_killed_under_load_costs_no_call_and_heals_on_its_return(stored):
    fleet, volume = stored.fleet, stored.fleet.volume
    wait_until(lambda: all_up(fleet), 30)

    def kill_and_return():
        time.sleep(12)
        volume.kill("s1")
        time.sleep(25)
        volume.revive("s1")

    outcomes, states = loaded(stored, 48, 8, kill_and_return)
    assert len(outcomes) == 48
    assert_served_when_answered(stored, outcomes, states)
    # Every file handed out, before the death and after, is still there.
    assert_all_served(outcomes)
    # A busy machine (CI's lanes run three suites at once) heals slowly.
    wait_until(lambda: volume.unhealed() == 0, 300, "the volume's heal")
    bricks = [{p.name for p in (volume.state(m, "brick") / "tts").iterdir()} for m in gluster.STORAGE]
    assert bricks[0] == bricks[1]
    assert {o["link"].rsplit("/", 1)[1] for o in outcomes} <= bricks[0]


def test_a_host_cut_off_from_the_storage_is_taken_out_rather_than_failing_calls(stored):
    fleet = stored.fleet
    wait_until(lambda: all_up(fleet), 30)
    host = fleet.hosts[0]
    fleet.network.cut(host.index, gluster.STORAGE)
    try:
        outcomes, states = loaded(
            stored, 24, 6, lambda: wait_until(lambda: fleet.host_states()[host.server] != "UP", 60)
        )
        assert_served_when_answered(stored, outcomes, states)
        later, _ = calls(stored, 12, "cut-later")
        assert_all_served(later)
        assert host.name not in {o["served_by"] for o in later}
    finally:
        fleet.network.heal(host.index)
    wait_until(lambda: all_up(fleet), 60)


# Under 5 % loss a call's turn to count the room takes 1.5 s on average,
# and the 24 calls queue for their turns: the fleet lets them wait 60 s
# (gluster.RESERVE_WAIT). A failure prints the calls' whole outcomes and
# the storage clients' logs.
def test_calls_are_served_while_the_storage_network_loses_packets(stored):
    fleet = stored.fleet
    wait_until(lambda: all_up(fleet), 30)
    for machine in gluster.STORAGE:
        fleet.network.loss(machine, 5)
    try:
        outcomes, _ = calls(stored, 24, "storage-loss")
        try:
            assert_all_served(outcomes)
        except AssertionError:
            for log in sorted(fleet.volume.folder.glob("client-*.log")):
                print(f"--- {log.name}", *log.read_text(errors="replace").splitlines()[-20:], sep="\n")
            raise
    finally:
        for machine in gluster.STORAGE:
            fleet.network.heal(machine)
