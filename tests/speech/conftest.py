"""Helpers local to the speech tests: the local service, a file server
whose transfers go wrong half-way."""

import pytest

from scripted_server import cut_short


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


@pytest.fixture
def partial_server(scripted):
    """`partial_server(then)`: the scripted server, sending 64 KiB of a
    promised 1 MiB body for every request, then "break"ing the connection
    off or "stall"ing."""

    def start(then):
        scripted.route("/", lambda request: cut_short(b"\x01" * (1 << 20), 65536, then))
        return scripted

    return start
