"""systemd's watchdog, fed by the host's own progress: a worker sends
WATCHDOG=1 to the service manager on gunicorn's heartbeat, which its loop
calls however busy its calls are. A worker whose loop no longer turns stops
feeding it, and systemd restarts the host once WatchdogSec passes.

The unit (examples/deploy/systemd/webapp@.service) sets NotifyAccess=all:
the master sends READY=1, but the loops that must be seen turning are its
workers'. Any one worker's loop feeds the watchdog; a single stuck worker is
gunicorn's own to replace. Outside systemd (no NOTIFY_SOCKET) nothing is sent."""

import os
import socket
import time


def notify(state, environ=os.environ):
    """Sends `state` ("READY=1", "WATCHDOG=1", ...) to the service manager;
    returns whether there was one to send it to."""
    address = environ.get("NOTIFY_SOCKET", "")
    if not address:
        return False
    if address.startswith("@"):
        address = "\0" + address[1:]
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC) as sock:
        sock.connect(address)
        sock.sendall(state.encode())
    return True


def interval(environ=os.environ):
    """Seconds between two feeds: a third of the unit's WatchdogSec, or
    None when the unit sets no watchdog."""
    usec = environ.get("WATCHDOG_USEC", "")
    if not usec.isdigit() or int(usec) == 0:
        return None
    return int(usec) / 1e6 / 3


def feed_on_heartbeat(worker, environ=os.environ):
    """Makes gunicorn's `worker` feed the watchdog on its heartbeat, at most
    once an interval; does nothing where no watchdog is set."""
    every = interval(environ)
    if every is None or not environ.get("NOTIFY_SOCKET"):
        return
    heartbeat = worker.notify
    last = [float("-inf")]

    def beat():
        heartbeat()
        now = time.monotonic()
        if now - last[0] >= every:
            last[0] = now
            try:
                notify("WATCHDOG=1", environ)
            except OSError as error:
                worker.log.warning("watchdog: %s", error)

    worker.notify = beat
