"""The host's health listener: /livez, /readyz (or /healthz) and /metrics
on sockets of their own, answered by threads of the operating system, off
the worker's event loop, from what the host knows already: no probe waits
on the disk.

A gevent worker answers every call on one loop. Under a flood that loop runs
late, and a health check waiting its turn there would read a busy host as a
dead one: the front would take every host out at once. The health listener
is accepted and answered on real threads instead, which take the interpreter
lock in turns with the loop, so a busy host still answers its check, and
fails it only when it is stopped, gone or cut off. Its sockets are not the
calls' socket, so the front has no route to them: only the front's checks
and the operators reach them.

Liveness (is the host making progress?) is answered from memory: the
worker's event loop has turned lately (LoopClock). Readiness (can it take
calls now?) is answered from facts a thread of its own refreshes off the
probe's path (Readiness): the installation, the output folder, the store's
size.

gunicorn's master opens the listeners (`listen`) before it starts workers;
every worker serves them (`serve`) the routes of its application
(`routes`), and the kernel hands each connection to one of them.
"""

import json
import os
import socket
import stat
import time
from pathlib import Path

from . import metrics
from .periodic import every, native

# What one request may send, and how long it may take to send it.
REQUEST_MAX = 8192
REQUEST_TIMEOUT = 2.0
# Health connections answered at once per worker; more are closed unread.
CONNECTIONS_MAX = 16
# Seconds between a host's looks at what its readiness rests on (its
# installation, its output folder), made off the probes' path.
READY_EVERY = 1.0
# A look that has not come back for this long (hung on a disk gone away)
# leaves the host not ready.
READY_STALE = 10.0
# Seconds a worker's event loop may go without a turn before its host
# reports itself stuck: one stuck this long in a single call is not
# serving any other.
STALL = 30.0


def parse_bind(spec):
    """`WEBAPP_HEALTH_BIND`: blank-separated addresses, each unix:PATH or
    HOST:PORT. Returns [(family, address)]."""
    places = []
    for word in spec.split():
        if word.startswith("unix:"):
            places.append((socket.AF_UNIX, word[5:]))
        else:
            host, _, port = word.rpartition(":")
            if not host or not port.isdigit():
                raise ValueError(f"a health address is unix:PATH or HOST:PORT, not {word!r}")
            places.append((socket.AF_INET6 if ":" in host else socket.AF_INET, (host.strip("[]"), int(port))))
    return places


def listen(spec, backlog=64):
    """Listening sockets at the addresses of `spec` (parse_bind). A unix
    socket is made afresh, open to its owner and its folder's group alone
    (the front's, where the front checks it)."""
    listeners = []
    for family, address in parse_bind(spec):
        sock = socket.socket(family, socket.SOCK_STREAM)
        try:
            if family == socket.AF_UNIX:
                try:
                    if stat.S_ISSOCK(os.lstat(address).st_mode):
                        os.unlink(address)  # an earlier run's
                except FileNotFoundError:
                    pass
                sock.bind(address)
                os.chmod(address, 0o660)
            else:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                sock.bind(address)
            sock.listen(backlog)
        except BaseException:
            sock.close()
            raise
        listeners.append(sock)
    return listeners


def answer(routes, request_line):
    """(status, content type, body) for one request line."""
    try:
        method, target, _ = request_line.split(" ", 2)
    except ValueError:
        return 400, "application/json", json.dumps({"error": "bad request"}).encode()
    path = target.split("?", 1)[0]
    route = routes.get(path)
    if route is None:
        return 404, "application/json", json.dumps({"error": "not found"}).encode()
    if method not in ("GET", "HEAD"):
        return 405, "application/json", json.dumps({"error": "only GET"}).encode()
    status, content_type, body = route()
    return status, content_type, b"" if method == "HEAD" else body


REASONS = {
    200: "OK",
    400: "Bad Request",
    404: "Not Found",
    405: "Method Not Allowed",
    500: "Internal Server Error",
    503: "Service Unavailable",
}


def _handle(conn, routes, served_by):
    try:
        conn.settimeout(REQUEST_TIMEOUT)
        data = b""
        while b"\r\n\r\n" not in data and len(data) < REQUEST_MAX:
            chunk = conn.recv(REQUEST_MAX)
            if not chunk:
                return
            data += chunk
        try:
            status, content_type, body = answer(routes, data.split(b"\r\n", 1)[0].decode("latin-1"))
        except Exception as e:  # a route that failed is the host's fault, not the connection's
            status, content_type = 500, "application/json"
            body = json.dumps({"error": f"{type(e).__name__}: {e}"}).encode()
        head = (
            f"HTTP/1.1 {status} {REASONS.get(status, 'Unknown')}\r\nContent-Type: {content_type}\r\n"
            f"Content-Length: {len(body)}\r\nX-Served-By: {served_by}\r\nConnection: close\r\n\r\n"
        )
        conn.sendall(head.encode() + body)
    except OSError:
        pass  # the peer went away
    finally:
        conn.close()


def serve(listeners, routes, served_by):
    """Answers `routes` (path -> function returning (status, content type,
    body)) on `listeners`, each on a thread of the operating system's.
    Returns a function that stops listening."""
    start_thread, native_socket, allocate_lock = native()
    busy = [0]
    busy_lock = allocate_lock()

    def connection(conn):
        try:
            _handle(conn, routes, served_by)
        finally:
            with busy_lock:
                busy[0] -= 1

    def accept_loop(listener):
        while True:
            try:
                fd, _ = listener._accept()
            except OSError:
                if listener.fileno() < 0:
                    return  # closed
                try:
                    listener.getsockname()
                    if listener.getsockopt(socket.SOL_SOCKET, socket.SO_ACCEPTCONN):
                        continue
                except OSError:
                    pass
                return  # shut down
            conn = native_socket(listener.family, listener.type, listener.proto, fileno=fd)
            with busy_lock:
                full = busy[0] >= CONNECTIONS_MAX
                if not full:
                    busy[0] += 1
            if full:
                conn.close()
                continue
            start_thread(connection, (conn,))

    for listener in listeners:
        start_thread(accept_loop, (listener,))

    def stop():
        # shutdown wakes a thread blocked in accept; close alone would not.
        for listener in listeners:
            try:
                listener.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            listener.close()

    return stop


class LoopClock:
    """When the worker's event loop last ran a turn: a host whose loop has
    not run for long is stuck, not busy. Ticks on the loop itself."""

    def __init__(self):
        self.last = time.monotonic()

    def start(self, interval=0.5):
        import gevent

        def tick():
            while True:
                self.last = time.monotonic()
                gevent.sleep(interval)

        gevent.spawn(tick)
        return self

    def lag(self):
        return time.monotonic() - self.last


class Readiness:
    """What /readyz answers from: the problems that stop this host from
    taking calls (an incomplete installation, an output folder it cannot
    write: behind a balancer, the shared store, whose mount going away
    leaves a dangling link here) and the store's count. The looks run on
    threads of the operating system's (`start`), so a probe reads them from
    memory and never waits on the disk, however many files the store holds."""

    def __init__(self, dorvane, store, config):
        self.dorvane, self.store, self.config = dorvane, store, config
        self.problems, self.checked = None, None
        self.started, self.stops = False, []

    def check(self):
        problems = []
        checked = self.dorvane.check_project_structure()
        if "error" in checked:
            problems.append(checked["error"])
        output = Path("output")
        if output.is_symlink() or output.exists():
            if not (output.is_dir() and os.access(output, os.W_OK | os.X_OK)):
                problems.append("the output folder is missing or not writable")
        elif not os.access(".", os.W_OK | os.X_OK):
            problems.append("the working directory is not writable")
        self.problems, self.checked = problems, time.monotonic()

    def start(self):
        """Checks once here (a few looks at folders), then every READY_EVERY
        seconds on a thread of its own; the store's count is kept on
        another, so that a long count never leaves the checks stale.
        Starting again starts nothing."""
        if not self.started:
            self.started = True
            self.check()
            self.stops = [
                every(READY_EVERY, self.check, "readiness-check"),
                every(READY_EVERY, self.store.count, "store-count"),
            ]
        return self

    def stop(self):
        """Ends the looks (an application made again in one process, as in
        tests, would otherwise keep the old one's running)."""
        for stop in self.stops:
            stop()

    def answer(self):
        """(problems, figures) as of the latest look. A look that has not
        come back for READY_STALE seconds (hung on a disk gone away) fails."""
        problems = list(self.problems)
        age = time.monotonic() - self.checked
        if age > READY_STALE:
            problems.append(f"the host's readiness was last looked at {age:.0f} s ago")
        counted = self.store.counted()
        # Every host shares the disk, and the sweeps free it as files pass
        # their grace: until then no call that writes output can run.
        if self.store.too_full(counted.disk_free):
            problems.append(f"the output store's disk has {counted.disk_free} bytes free, too few for a call")
        # The calls wait for the master's count, and past a while are refused.
        if counted.late is not None:
            problems.append(f"the output store has not been counted within {counted.late:.0f} s")
        figures = {
            "served_by": self.config["SERVED_BY"],
            "output_bytes": counted.bytes,
            "output_max_bytes": self.config["OUTPUT_MAX_BYTES"],
            "output_disk_free": counted.disk_free,
        }
        return problems, figures


def routes(app, loop=None, stall=STALL):
    """/livez, /readyz (also /healthz, its older name) and /metrics of the
    application `app`, for the health listener (`serve`): path -> function
    giving (status, content type, body). Starts the readiness looks they
    answer from. `loop` (a LoopClock) tells a stuck event loop from a busy
    one: one that has not turned for `stall` seconds fails both probes."""
    readiness = app.extensions["webapp.readiness"].start()

    def loop_problems(figures):
        if loop is None:
            return []
        lag = loop.lag()
        figures["loop_lag_seconds"] = round(lag, 3)
        return [f"the worker's event loop has not run for {lag:.0f} s"] if lag > stall else []

    def reply(problems, figures):
        if problems:
            payload, status = dict(status="unhealthy", problems=problems, **figures), 503
        else:
            payload, status = dict(status="ok", **figures), 200
        return status, "application/json", json.dumps(payload).encode()

    def livez():
        # From memory alone: no disk, no module call, no look at the store,
        # so that a loaded disk or a large store never reads as death.
        figures = {}
        return reply(loop_problems(figures), figures)

    def readyz():
        problems, figures = readiness.answer()
        return reply(problems + loop_problems(figures), figures)

    def metrics_text():
        body, content_type = metrics.exposition(readiness.store.counted().bytes)
        return 200, content_type, body

    return {"/livez": livez, "/readyz": readyz, "/healthz": readyz, "/metrics": metrics_text}
