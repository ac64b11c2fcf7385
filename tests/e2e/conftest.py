"""Fixtures for the example web application and the stand-in services.

The route tests run the application in this process, on the module under
test (with the recorded waits); the browser tests run both as the demo does,
as separate processes started by its launcher (examples/webapp/launch.py),
with the real waits.
"""

import importlib
import os
from pathlib import Path

import pytest


ROOT = Path(__file__).resolve().parents[2]
WEBAPP = ROOT / "examples" / "webapp"


@pytest.fixture(scope="session")
def webapp():
    pytest.importorskip("flask", reason="flask is not installed (pip install -r requirements-demo.txt)")
    return importlib.import_module("app")


@pytest.fixture(scope="session")
def launch(webapp):
    """examples/webapp/launch.py: the stack started as the demo starts it."""
    return importlib.import_module("launch")


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


@pytest.fixture(scope="session")
def fleet_calls(webapp):
    """examples/webapp/fleet_calls.py: calls through the front and what they prove."""
    import fleet_calls

    return fleet_calls


@pytest.fixture(scope="session")
def fleet_factory(launch, standin_services, tmp_path_factory):
    """Starts fleets of application hosts behind the front (examples/webapp/
    cluster.py) on free ports, calling the in-process stand-in; stops them
    at the end of the session. `front` takes the front's limits
    (cluster.Front's fields); the other settings go to the hosts."""
    pytest.importorskip("gunicorn", reason="gunicorn is not installed (pip install -r requirements-demo.txt)")
    cluster = launch.cluster
    try:
        cluster.nginx_binary()
        cluster.haproxy_binary()
    except RuntimeError as e:
        pytest.skip(f"{e}")
    home = launch.install_site(tmp_path_factory.mktemp("fleet-site") / "site")
    started = []

    def start(hosts, front=None, **settings):
        port = launch.free_port()
        env = dict(os.environ, **launch.standin_environ(standin_services), WEBAPP_DORVANE_HOME=str(home),
                   WEBAPP_BASE_URL=f"http://127.0.0.1:{port}/",
                   **{"WEBAPP_" + k.upper(): str(v) for k, v in settings.items()})
        fleet = cluster.Fleet(tmp_path_factory.mktemp("fleet"), hosts, port=port, env=env,
                              front=cluster.Front(**(front or {})))
        started.append(fleet)
        return fleet.start()

    yield start
    for fleet in started:
        fleet.stop()
