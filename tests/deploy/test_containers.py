"""The stack as a container engine runs it (examples/deploy/compose.yaml,
started by scripts/containers with podman-compose): a round trip through
the front, a host killed and started again by the engine's own restart
policy while calls go on, and nothing left once it stops.

Slow to build and needing podman and root, these run in CI's container
step (DORVANE_CONTAINERS=1), not in the README's run."""

import json
import os
import signal
import time

import pytest

from support import ROOT
from support.processes import free_port, start, stop, wait_until

from .podman import inspect, podman


class Stack:
    def __init__(self, tmp):
        self.project = f"dorvane-test-{os.getpid()}"
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/"
        self.log = tmp / "containers.log"
        self.process = start(
            ["bash", "scripts/containers", "--project", self.project, "--port", str(self.port)],
            self.log,
            cwd=ROOT,
        )
        wait_until(
            lambda: "The page:" in self.log.read_text(),
            300,
            "scripts/containers",
            self.process,
            self.log,
            step=0.5,
        )

    def container(self, service):
        return f"{self.project}_{service}_1"

    def left(self):
        label = f"label=io.podman.compose.project={self.project}"
        return (
            podman("ps", "-a", "-q", "--filter", label).stdout.split()
            + podman("volume", "ls", "-q", "--filter", label).stdout.split()
        )

    def stop(self):
        # SIGTERM, as an engine or a unit stops it: a job that CI starts in
        # the background has SIGINT ignored, and so has the script then.
        stop(self.process, signal.SIGTERM, 90)


@pytest.fixture(scope="module")
def stack(tmp_path_factory):
    stack = Stack(tmp_path_factory.mktemp("containers"))
    yield stack
    stack.stop()


def checked(results):
    """The hosts that served `results`, each a call whose link serves a whole WAV."""
    from clients import complete_wav, fetch

    failed = [r for r in results if r["status"] != 200 or not complete_wav(fetch(r["link"])[1])]
    assert not failed, failed[:3]
    return {r["served_by"] for r in results}


def calls(url, count, label):
    from clients import Burst

    return checked(Burst(url, count, label).start().join())


def test_round_trip_through_the_front(stack):
    from roundtrip import round_trip

    link, seconds = round_trip(stack.url)
    assert link.startswith(f"{stack.url}output/tts/") and seconds > 0


def test_killed_host_restarted_by_its_restart_policy(stack):
    from clients import Burst

    name = stack.container("host-1")
    count, pid = json.loads(inspect(name, "[{{.RestartCount}}, {{.State.Pid}}]"))
    os.kill(pid, signal.SIGKILL)
    killed = time.monotonic()
    # Right after the kill: the front moves them to the hosts that are left.
    burst = Burst(stack.url, 12, "after-kill").start()

    def restarted():
        again, new_pid = json.loads(inspect(name, "[{{.RestartCount}}, {{.State.Pid}}]"))
        return (
            again > count and new_pid not in (0, pid) and podman("healthcheck", "run", name).returncode == 0
        )

    wait_until(restarted, 60, "host-1's restart", step=0.2)
    print(f"host-1 restarted by podman and healthy {time.monotonic() - killed:.1f} s after the kill")
    checked(burst.join())
    # Back in the front's rotation within its check interval.
    wait_until(lambda: "host-1" in calls(stack.url, 12, "after-restart"), 30, "host-1 serving again")


def test_nothing_left_after_stop(stack):
    assert stack.left()
    stack.stop()
    assert stack.process.returncode is not None
    assert stack.left() == []
