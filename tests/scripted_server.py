"""The tests' own server, and probes for what a call leaves behind.

`ScriptedServer` answers every request with whatever bytes its route hands
back, or lets the route drive the socket itself, so that a test can play a
service that resets, stalls, floods headers or never ends its body: what
pytest-httpserver, which always answers in whole, cannot. It can also
keep its connections as a service does, closing them when idle, after a
number of requests, or all at once when it restarts.
"""

import json
import os
import socket
import struct
import threading
import time
from pathlib import Path


class Request:
    def __init__(self, method, path, headers, body):
        self.method = method
        self.path = path
        self.headers = headers
        self.body = body

    def json(self):
        return json.loads(self.body)


def response(body=b"", status=200, content_type="application/json", headers=(), close=True):
    """A complete HTTP/1.1 answer; the connection closes after it unless
    `close` is false (and the server keeps its connections)."""
    if isinstance(body, str):
        body = body.encode()
    head = [
        f"HTTP/1.1 {status} X",
        f"Content-Type: {content_type}",
        f"Content-Length: {len(body)}",
        *(["Connection: close"] if close else []),
        *headers,
    ]
    return ("\r\n".join(head) + "\r\n\r\n").encode() + body


def json_response(value, status=200, close=True):
    return response(json.dumps(value), status, close=close)


def saying_close(answer):
    """`answer` with the header that tells the client the connection ends."""
    head, _, body = answer.partition(b"\r\n\r\n")
    if b"\r\nconnection: close" not in head.lower():
        head += b"\r\nConnection: close"
    return head + b"\r\n\r\n" + body


def _read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    method, path, _ = lines[0].split(" ", 2)
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", 0))
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        body += chunk
    return Request(method, path, headers, body)


def wait_for_close(conn, stop, limit):
    """Holds `conn` open until the client hangs up, the server stops or
    `limit` seconds pass, reading and dropping whatever the client sends."""
    conn.settimeout(0.05)
    deadline = time.monotonic() + limit
    while not stop.is_set() and time.monotonic() < deadline:
        try:
            if not conn.recv(65536):
                return
        except TimeoutError:
            continue
        except OSError:
            return


def reset(conn):
    """Closes with a TCP reset instead of an orderly end."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def stall(conn, server):
    """Never answers."""
    wait_for_close(conn, server.stop_event, 30)


def cut_short(body, sent, then):
    """Announces `body` whole, sends its first `sent` bytes, then "stall"s,
    "break"s the connection off or "reset"s it."""

    def answer(conn, server):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body[:sent])
        if then == "stall":
            stall(conn, server)
        elif then == "break":
            conn.close()
        else:
            time.sleep(0.05)
            reset(conn)

    return answer


def trickle(every):
    """Announces a large body, then sends a byte of it every `every`
    seconds until the server stops: a recording that never ends arriving."""

    def answer(conn, server):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: audio/wav\r\nContent-Length: 10000000\r\n\r\nR")
        while not server.stop_event.wait(every):
            conn.sendall(b"\0")

    return answer


class ScriptedServer:
    """Loopback HTTP server; `routes` maps a path prefix to a function of the
    request returning bytes to send, or a callable taking (conn, server) that
    plays the whole answer. Unrouted paths get 404.

    By default a connection takes one request. With `idle` seconds, the
    server keeps a connection for the next request, and closes it once it
    has waited that long for one, without a word, as a service's keep-alive
    time-out does; with `per_connection` too, it closes a connection after
    that many requests, saying so in the last answer. `accepted` counts the
    connections."""

    def __init__(self, idle=None, per_connection=None):
        self.idle = idle
        self.per_connection = per_connection
        self.routes = {}
        self.requests = []
        self.accepted = 0
        self._lock = threading.Lock()
        self._handlers = []
        self._open = set()
        self._reopening = None
        self.stop_event = threading.Event()
        self._listen(0)
        self.url = f"http://127.0.0.1:{self._listener.getsockname()[1]}"

    def _listen(self, port):
        self._listener = socket.create_server(("127.0.0.1", port), backlog=128)
        self._listener.settimeout(0.05)
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def route(self, prefix, handler):
        self.routes[prefix] = handler

    def _accept(self):
        while not self.stop_event.is_set():
            try:
                conn, _ = self._listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            thread = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            with self._lock:
                self._handlers.append(thread)
            thread.start()

    def _serve(self, conn):
        closed = False
        with self._lock:
            self.accepted += 1
            self._open.add(conn)
        try:
            served = 0
            while True:
                conn.settimeout(10)
                request = _read_request(conn)
                if request is None:
                    return
                with self._lock:
                    self.requests.append(request)
                served += 1
                handler = None
                for prefix in sorted(self.routes, key=len, reverse=True):
                    if request.path.startswith(prefix):
                        handler = self.routes[prefix]
                        break
                answer = handler(request) if handler else response(b"missing", 404, "text/plain")
                if callable(answer):
                    answer(conn, self)
                    closed = conn.fileno() == -1
                    return
                if self.idle is None:
                    conn.sendall(answer)
                    return
                if served == self.per_connection:
                    conn.sendall(saying_close(answer))
                    return
                conn.sendall(answer)
                if not self._next_request(conn):
                    closed = True
                    return
        except OSError:
            pass
        finally:
            with self._lock:
                self._open.discard(conn)
            if not closed:
                try:
                    conn.shutdown(socket.SHUT_WR)
                    wait_for_close(conn, self.stop_event, 2)
                except OSError:
                    pass
                conn.close()

    def _next_request(self, conn):
        """Waits up to `idle` seconds for a kept connection's next request;
        past that, closes it at once, as a service's keep-alive time-out
        does, whatever the client may be sending that moment."""
        conn.settimeout(self.idle)
        try:
            conn.recv(1, socket.MSG_PEEK)
        except TimeoutError:
            conn.close()
            return False
        return True

    def restart(self, down=0.0):
        """Ends as a service's process does, every connection closed and
        the port refusing connects, and listens again on the same port
        after `down` seconds (at once when 0)."""
        self._stop_accepting()
        self._end_connections()
        self.stop_event.clear()
        port = int(self.url.rsplit(":", 1)[1])
        if down:
            self._reopening = threading.Timer(down, self._listen, args=(port,))
            self._reopening.start()
        else:
            self._listen(port)

    def _stop_accepting(self):
        if self._reopening is not None:
            self._reopening.join()
            self._reopening = None
        self.stop_event.set()
        self._thread.join()
        self._listener.close()

    def _end_connections(self):
        # Shut down rather than closed: their handlers may be reading them.
        with self._lock:
            kept = list(self._open)
        for conn in kept:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass  # its handler closed it meanwhile
        self.wait_idle()

    def wait_idle(self, timeout=30):
        """Joins the connection threads, so that their sockets are closed."""
        deadline = time.monotonic() + timeout
        while True:
            with self._lock:
                pending = [t for t in self._handlers if t.is_alive()]
                self._handlers = pending
            if not pending:
                return
            if time.monotonic() > deadline:
                raise AssertionError(f"{len(pending)} server connections still open")
            pending[0].join(0.05)

    def close(self):
        # The accepting thread sees the stop within its 50 ms time-out; the
        # listener is closed only after it has left accept(), since closing
        # a socket another thread is waiting on races in the interpreter.
        self._stop_accepting()
        self._end_connections()


def open_fds():
    return sorted(int(fd) for fd in os.listdir("/proc/self/fd"))


def resources():
    """What a call could leave behind in the process: descriptors and threads."""
    return len(open_fds()), threading.active_count()


def leftovers(root):
    """Temporary files of the atomic writer anywhere under `root`."""
    return sorted(str(p) for p in Path(root).rglob(".dorvane-*"))


def files_under(root):
    return sorted(str(p.relative_to(root)) for p in Path(root).rglob("*") if p.is_file())
