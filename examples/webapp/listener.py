"""A small HTTP listener answered on threads of the operating system's,
off a gevent worker's event loop, and the thread helpers it rests on: the
host's health listener (health.py holds what it answers).

Under a flood a gevent worker's loop runs late, and a health check waiting
its turn there would read a busy host as a dead one: the front would take
every host out at once. Real threads take the interpreter lock in turns with
the loop, so a busy host still answers its check, and fails it only when
stopped, gone or cut off. Its sockets are not the calls' socket, so the
front has no route to them for a client.

gunicorn's master opens the sockets (`listen`) before it starts workers;
every worker serves them (`serve`), and the kernel hands each connection to
one of them.
"""

import json
import os
import socket
import stat

from .periodic import native

# What one request may send, and how long it may take to send it.
REQUEST_MAX = 8192
REQUEST_TIMEOUT = 2.0
# Connections answered at once per worker; more are closed unread.
CONNECTIONS_MAX = 16


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
