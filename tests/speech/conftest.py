"""Helpers local to the speech tests: a file server whose transfers go wrong
half-way, and small checks on the output folders."""

import socket
import threading
from pathlib import Path

import pytest


@pytest.fixture
def httpserver(httpserver_ipv4):
    """The local service and file server, on 127.0.0.1 rather than a name
    that might resolve elsewhere."""
    return httpserver_ipv4


@pytest.fixture
def service(httpserver):
    """`service(function, path, endpoint, **defaults)` gives `call(answer,
    **kwargs)`: the local service answers the POST to `path` with `answer`
    as JSON (when given), and `function` is called with the service's URL as
    `endpoint`, `defaults` and `kwargs`."""

    def bind(function, path, endpoint, **defaults):
        def call(answer=..., **kwargs):
            if answer is not ...:
                httpserver.expect_request(path, method="POST").respond_with_json(answer)
            return function(**{endpoint: httpserver.url_for(path), **defaults, **kwargs})

        return call

    return bind


class PartialServer:
    """Answers every GET with status 200 and a Content-Length larger than
    what it sends, then either drops the connection or holds it open."""

    def __init__(self, head, announced, then):
        self.head = head
        self.announced = announced
        self.then = then
        self.paths = []
        self._held = []
        self._stop = threading.Event()
        self._sock = socket.create_server(("127.0.0.1", 0))
        self._sock.settimeout(0.1)
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def url(self, path):
        return f"http://127.0.0.1:{self._sock.getsockname()[1]}{path}"

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._sock.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            request = b""
            while b"\r\n\r\n" not in request:
                piece = conn.recv(4096)
                if not piece:
                    break
                request += piece
            self.paths.append(request.split(b" ", 2)[1].decode())
            conn.sendall(
                b"HTTP/1.1 200 OK\r\nContent-Type: audio/wav\r\n"
                + f"Content-Length: {self.announced}\r\n\r\n".encode()
                + self.head
            )
            if self.then == "break":
                conn.close()
            else:
                self._held.append(conn)

    def close(self):
        self._stop.set()
        self._thread.join()
        for conn in self._held:
            conn.close()
        self._sock.close()


@pytest.fixture
def partial_server():
    """`partial_server(then)`: a server that sends 64 KiB of a promised
    1 MiB body, then "break"s the connection or "stall"s."""
    servers = []

    def start(then):
        server = PartialServer(b"\x01" * 65536, 1 << 20, then)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.close()


@pytest.fixture
def leftovers():
    """`leftovers(folder)`: the atomic writer's temporary files still in it."""
    return lambda folder: sorted(p.name for p in Path(folder).glob(".dorvane-*.part"))
