"""Fixtures shared by the suite: the installation directory, the patched wait, local servers.

The module under test is the built one (from `pip install .`), copied into a
temporary installation directory before any test imports it, so that the
installation check looks beside that copy and the tests can break the layout.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import types
from pathlib import Path

import pytest
from doubles import FakeTorch, Reached, module_copy
from scripted_server import ScriptedServer, stall

from support.defaults import LAYOUT
from support.installation import copy_module, lay_out, load
from support.processes import free_port

_install_root = None


def pytest_configure(config):
    global _install_root
    _install_root = Path(tempfile.mkdtemp(prefix="dorvane-install-"))
    try:
        copy_module(_install_root)
    except RuntimeError as error:
        raise pytest.UsageError(str(error)) from None
    # Before the test modules, which import it by name, are collected.
    load(_install_root)


def pytest_unconfigure(config):
    if _install_root is not None:
        shutil.rmtree(_install_root, ignore_errors=True)


class Installation:
    """The directory that holds the module under test, and its model layout."""

    def __init__(self, root):
        self.root = root

    def complete(self):
        for folder in LAYOUT:
            path = self.root / folder
            if path.is_dir():
                shutil.rmtree(path)
            elif path.exists():
                path.unlink()
        lay_out(self.root)

    def remove(self, relative):
        path = self.root / relative
        if path.is_dir():
            shutil.rmtree(path)
        else:
            path.unlink()


@pytest.fixture(scope="session")
def dorvane():
    return load(_install_root)


@pytest.fixture
def child_env(dorvane):
    """The environment of a child interpreter that imports the module under
    test, keeping what the parent's path already adds (the torch stand-in)."""
    paths = [os.path.dirname(dorvane.__file__), os.environ.get("PYTHONPATH", "")]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p))


@pytest.fixture
def child(child_env):
    """`child(code, *args)` runs `code` in a child interpreter that imports
    the module under test, with `child_env` (or `env`) and `path` added to
    its PYTHONPATH, and gives its standard output once it has ended well."""

    def run(code, *args, env=None, path=(), cwd=None, timeout=120, flags=()):
        env = dict(child_env if env is None else env)
        env["PYTHONPATH"] = os.pathsep.join([env.get("PYTHONPATH", ""), *map(str, path)]).strip(os.pathsep)
        done = subprocess.run(
            [sys.executable, *flags, "-c", code, *map(str, args)],
            env=env,
            cwd=cwd,
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        assert done.returncode == 0, done.stderr[-3000:]
        return done.stdout

    return run


@pytest.fixture(autouse=True)
def installation(dorvane, tmp_path, monkeypatch):
    """A complete installation, and the current directory in a fresh folder,
    where the operations create their output folders."""
    inst = Installation(_install_root)
    inst.complete()
    monkeypatch.chdir(tmp_path)
    return inst


@pytest.fixture(autouse=True)
def sleeps(request, dorvane, monkeypatch):
    """The seconds each fixed wait asked for. The module's `time` is replaced
    with a copy whose `sleep` only records, except under `real_wait`."""
    calls = []
    if request.node.get_closest_marker("real_wait") is None:
        monkeypatch.setattr(dorvane, "time", module_copy(time, sleep=calls.append))
    return calls


@pytest.fixture
def fake_torch(dorvane, monkeypatch):
    """Installs a FakeTorch built from the given overrides, and a counting gc."""
    collected = []
    monkeypatch.setattr(dorvane, "gc", types.SimpleNamespace(collect=lambda: collected.append(1)))

    def install(**overrides):
        fake_torch = FakeTorch(**overrides)
        fake_torch.collected = collected
        monkeypatch.setattr(dorvane, "torch", fake_torch)
        return fake_torch

    return install


@pytest.fixture
def clock(dorvane, monkeypatch):
    """Makes `time.time` read the given instants, one per call."""

    def install(*instants):
        readings = iter(instants)
        monkeypatch.setattr(dorvane, "time", types.SimpleNamespace(time=lambda: next(readings)))

    return install


@pytest.fixture
def stop_after_binding(dorvane, monkeypatch):
    """Makes every call of the module's functions that gets past argument
    binding raise Reached at its first step (the gate, the installation
    check's path work, or the load routine's first library call, given
    `Stop` arguments)."""

    def refuse(*args, **kwargs):
        raise Reached

    monkeypatch.setattr(dorvane, "check_project_structure", refuse)
    monkeypatch.setattr(
        dorvane, "torch", types.SimpleNamespace(cuda=types.SimpleNamespace(is_available=refuse))
    )
    monkeypatch.setattr(
        dorvane,
        "os",
        types.SimpleNamespace(path=types.SimpleNamespace(dirname=refuse, abspath=refuse), makedirs=refuse),
    )


@pytest.fixture
def scripted(request):
    """The scripted server (scripted_server.py), for answers that go wrong
    on the wire; parametrized indirectly, with the keywords of a server that
    keeps its connections."""
    server = ScriptedServer(**getattr(request, "param", {}))
    yield server
    server.close()


@pytest.fixture
def stalled_url(scripted):
    """An HTTP URL whose server takes requests and never answers."""
    scripted.route("/", lambda request: stall)
    return scripted.url


@pytest.fixture
def refused_url():
    """An HTTP URL on a loopback port where nothing listens."""
    return f"http://127.0.0.1:{free_port()}"


@pytest.fixture(scope="session")
def tls_ca():
    trustme = pytest.importorskip("trustme")
    return trustme.CA()


@pytest.fixture
def tls_server():
    """`tls_server(ca)`: a started pytest-httpserver speaking TLS, with a
    certificate for 127.0.0.1 from `ca` (a trustme.CA)."""
    import ssl

    from pytest_httpserver import HTTPServer

    servers = []

    def start(ca):
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ca.issue_cert("127.0.0.1", "localhost").configure_cert(context)
        servers.append(HTTPServer(host="127.0.0.1", port=0, ssl_context=context))
        servers[-1].start()
        return servers[-1]

    yield start
    for server in servers:
        server.clear()
        if server.is_running():
            server.stop()


@pytest.fixture
def https_server(tls_ca, tls_server, tmp_path_factory, monkeypatch):
    """A TLS server with a certificate from the local CA, which the client
    trusts through REQUESTS_CA_BUNDLE."""
    bundle = tmp_path_factory.mktemp("ca") / "ca.pem"
    tls_ca.cert_pem.write_to_path(str(bundle))
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(bundle))
    return tls_server(tls_ca)
