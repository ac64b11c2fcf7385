"""systemd's watchdog fed from a worker's heartbeat (watchdog.py): the
datagrams a service manager's socket receives, at most one an interval, and
none where no watchdog is set."""

import socket
import types

import pytest
from webapp import watchdog


@pytest.fixture(params=["path", "abstract"])
def manager(request, tmp_path):
    """A service manager's notification socket: its NOTIFY_SOCKET value and
    the socket that receives."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    if request.param == "path":
        sock.bind(str(tmp_path / "notify"))
        name = str(tmp_path / "notify")
    else:
        name = f"@dorvane-test-{id(sock)}"
        sock.bind("\0" + name[1:])
    sock.settimeout(0)
    yield name, sock
    sock.close()


def received(sock):
    states = []
    while True:
        try:
            states.append(sock.recv(64).decode())
        except BlockingIOError:
            return states


class Worker:
    def __init__(self):
        self.beats = 0
        self.log = types.SimpleNamespace(warning=lambda *args: self.warnings.append(args))
        self.warnings = []

    def notify(self):
        self.beats += 1


@pytest.mark.parametrize(
    "usec, beats, expected",
    [
        ("30000000", 3, ["WATCHDOG=1"]),  # one feed within the interval (10 s)
        ("3", 3, ["WATCHDOG=1"] * 3),  # each beat past an interval feeds
        ("", 3, []),  # no watchdog set: nothing sent
        ("0", 3, []),
    ],
)
def test_heartbeat_feeds_the_watchdog(manager, usec, beats, expected):
    name, sock = manager
    worker = Worker()
    watchdog.feed_on_heartbeat(worker, {"NOTIFY_SOCKET": name, "WATCHDOG_USEC": usec})
    for _ in range(beats):
        worker.notify()
    assert worker.beats == beats  # gunicorn's own heartbeat still runs
    assert received(sock) == expected


def test_lost_manager_is_logged_not_raised(tmp_path):
    worker = Worker()
    watchdog.feed_on_heartbeat(worker, {"NOTIFY_SOCKET": str(tmp_path / "gone"), "WATCHDOG_USEC": "3000000"})
    worker.notify()
    assert worker.beats == 1 and worker.warnings
    assert watchdog.notify("READY=1", {}) is False
