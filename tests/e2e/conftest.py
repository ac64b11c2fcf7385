"""Fixtures for the example web application and the stand-in services.

The route tests run the application in this process, on the module under
test (with the recorded waits); the browser tests run both as the demo does,
as separate processes, with the real waits.
"""

import importlib
import socket
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
WEBAPP = ROOT / "examples" / "webapp"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="session")
def webapp():
    pytest.importorskip("flask", reason="flask is not installed (pip install -r requirements-demo.txt)")
    for path in (str(WEBAPP), str(ROOT)):
        if path not in sys.path:
            sys.path.insert(0, path)
    return importlib.import_module("app")


@pytest.fixture(scope="session")
def standin_services(tmp_path_factory):
    pytest.importorskip("trustme")
    from standin import Services

    services = Services(tmp_path_factory.mktemp("standin"), speech_port=0, transcription_port=0,
                        transcriber="recorded").start()
    yield services
    services.close()


@pytest.fixture
def standin(standin_services, monkeypatch):
    """The stand-in services, trusted by the module's HTTP client."""
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(standin_services.ca_path))
    return standin_services


@pytest.fixture
def make_client(webapp, dorvane):
    def make(**settings):
        return webapp.create_app(dorvane, webapp.Settings(**settings)).test_client()

    return make
