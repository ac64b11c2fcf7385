"""The container engine's health check of a host: asks the host's health
listener (the first address of WEBAPP_HEALTH_BIND, the unix socket the
image sets) for its liveness, answered from memory however busy the host is,
and exits 0 when it answers 200 within the time-out."""

import os
import socket
import sys

PATH = "/livez"
TIMEOUT = 2.0


def address(spec):
    word = spec.split()[0]
    if word.startswith("unix:"):
        return socket.AF_UNIX, word[5:]
    host, _, port = word.rpartition(":")
    host = host.strip("[]")
    return (socket.AF_INET6 if ":" in host else socket.AF_INET), (host, int(port))


def probe(spec):
    family, place = address(spec)
    with socket.socket(family, socket.SOCK_STREAM) as sock:
        sock.settimeout(TIMEOUT)
        sock.connect(place)
        sock.sendall(f"GET {PATH} HTTP/1.0\r\nHost: probe\r\n\r\n".encode())
        head = sock.recv(64)
    return head.split(b" ", 2)[1:2] == [b"200"]


if __name__ == "__main__":
    try:
        alive = probe(os.environ["WEBAPP_HEALTH_BIND"])
    except (OSError, KeyError, ValueError, IndexError) as error:
        sys.exit(f"probe: {error!r}")
    sys.exit(0 if alive else "probe: not live")
