"""HTTP over a unix socket: how the front, the supervisor and an operator
reach a host's listeners and nginx."""

import http.client
import socket


class UnixConnection(http.client.HTTPConnection):
    def __init__(self, path, timeout=5):
        super().__init__("localhost", timeout=timeout)
        self.path = str(path)

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(self.timeout)
        self.sock.connect(self.path)


def http_get(address, route, timeout=5):
    """GET `route` from the server at `address` (a unix socket's path, a
    loopback port or an (address, port) pair): (status, body, headers)."""
    if isinstance(address, int):
        connection = http.client.HTTPConnection("127.0.0.1", address, timeout=timeout)
    elif isinstance(address, tuple):
        connection = http.client.HTTPConnection(*address, timeout=timeout)
    else:
        connection = UnixConnection(address, timeout)
    try:
        connection.request("GET", route)
        response = connection.getresponse()
        return response.status, response.read(), response.headers
    finally:
        connection.close()
