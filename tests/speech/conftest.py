"""Helpers local to the speech tests: the local service, the files it links
to, a file server whose transfers go wrong half-way."""

import pytest
from operations import OPERATIONS
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
def calling(dorvane, service):
    """`calling(name)`: the operation `name` bound by `service` to its path,
    its endpoint argument and its arguments in the operation table."""

    def bind(name):
        op = OPERATIONS[name]
        return service(getattr(dorvane, name), op.request.path, op.request.endpoint, **op.kwargs)

    return bind


@pytest.fixture
def serve_file(httpserver):
    """`serve_file(path, body, status=200, **match)`: the local server
    answers a GET of `path` (and `match`) with `body`; gives its URL."""

    def serve(path, body, status=200, **match):
        httpserver.expect_request(path, method="GET", **match).respond_with_data(body, status=status)
        return httpserver.url_for(path)

    return serve


@pytest.fixture
def partial_server(scripted):
    """`partial_server(then)`: the scripted server, sending 64 KiB of a
    promised 1 MiB body for every request, then "break"ing the connection
    off or "stall"ing."""

    def start(then):
        scripted.route("/", lambda request: cut_short(b"\x01" * (1 << 20), 65536, then))
        return scripted

    return start
