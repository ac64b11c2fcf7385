"""Fixtures for the example web application and the stand-in services.

The route tests run the application in this process, on the module under
test (with the recorded waits); the browser tests run both as the demo does,
as separate processes started by its launcher (examples/stack/launch.py),
with the real waits.
"""

import importlib
import itertools
import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from support.installation import install
from support.processes import free_port


@pytest.fixture(scope="session")
def webapp():
    pytest.importorskip("flask", reason="flask is not installed (pip install -r requirements-demo.txt)")
    return importlib.import_module("webapp")


@pytest.fixture(scope="session")
def launch(webapp):
    """examples/stack/launch.py: the stack started as the demo starts it."""
    return importlib.import_module("launch")


@pytest.fixture(scope="session")
def open_folders():
    """New folders under one that other users may pass through (mode
    0711). A fleet needs none (its store is in a runtime folder of its
    own, which nginx's workers reach as nobody); some tests still start
    theirs in one."""
    root = Path(tempfile.mkdtemp(prefix="dorvane-e2e-"))
    root.chmod(0o711)
    count = itertools.count()

    def make(name):
        folder = root / f"{name}{next(count)}"
        folder.mkdir()
        return folder

    yield make
    shutil.rmtree(root, ignore_errors=True)


@pytest.fixture(scope="session")
def standin_services(tmp_path_factory):
    pytest.importorskip("trustme")
    from standin import Services

    services = Services(
        tmp_path_factory.mktemp("standin"), speech_port=0, transcription_port=0, transcriber="recorded"
    ).start()
    yield services
    services.close()


@pytest.fixture
def standin(standin_services, monkeypatch):
    """The stand-in services, trusted by the module's HTTP client."""
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(standin_services.ca_path))
    return standin_services


class HealthAnswer:
    """An answer of the health listener, read as a test client's answer is."""

    def __init__(self, status, body, headers):
        self.status_code, self.data, self.headers = status, body, headers

    def get_json(self):
        return json.loads(self.data)

    def get_data(self, as_text=False):
        return self.data.decode() if as_text else self.data


class Health:
    """The health listener (probes, metrics) of one application, served as
    a host serves it (listener.py, health.py), on a unix socket of its own."""

    def __init__(self, app, path):
        self.app, self.path, self.stop = app, path, None

    def get(self, route):
        from unix_http import http_get
        from webapp import health, listener

        if self.stop is None:
            served_by = self.app.config["SERVED_BY"]
            self.stop = listener.serve(
                listener.listen(f"unix:{self.path}"), health.routes(self.app), served_by
            )
        return HealthAnswer(*http_get(self.path, route))


@pytest.fixture
def make_client(webapp, dorvane, tmp_path_factory):
    """A test client of the application made with these settings; its
    `health.get(route)` asks the application's health listener."""
    made = []

    def make(**settings):
        app = webapp.create_app(dorvane, webapp.Settings(**settings))
        client = app.test_client()
        client.health = Health(app, tmp_path_factory.mktemp("health") / "health.sock")
        made.append(client.health)
        return client

    yield make
    for health in made:
        if health.stop is not None:
            health.stop()
            health.app.extensions["webapp.readiness"].stop()


@pytest.fixture
def small_disk():
    """`small_disk(path, size)`: a file system of its own of `size` bytes
    (a tmpfs) mounted at `path`, as a disk smaller than the store's cap;
    unmounted at the end. Needs root."""
    if os.geteuid() != 0:
        pytest.skip("mounting a file system needs root")
    mounted = []

    def mount(path, size):
        path.mkdir(parents=True, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755", "tmpfs", path], check=True)
        mounted.append(path)
        return path

    yield mount
    for path in mounted:
        subprocess.run(["umount", "--lazy", path], check=False)


@pytest.fixture(scope="session")
def front_programs():
    """Skips what needs the front's programs, HAProxy and nginx behind it,
    where either is not installed."""
    from front import haproxy_binary, nginx_binary

    try:
        nginx_binary()
        haproxy_binary()
    except RuntimeError as e:
        pytest.skip(f"{e}")


@pytest.fixture(scope="session")
def fleet_factory(launch, standin_services, front_programs, tmp_path_factory):
    """Starts fleets of application hosts behind the front (examples/stack/
    fleet.py) on free ports, calling the in-process stand-in, each in a
    folder of pytest's (mode 0700); stops them at the end of the session.
    `front` takes the front's limits and certificate (front.Front's
    fields), `watchdog` is the supervisor's, `tls_port` its HTTPS port with
    a certificate, `store_size` the size of the store's own file system
    (Fleet); the other settings go to the hosts."""
    pytest.importorskip("gunicorn", reason="gunicorn is not installed (pip install -r requirements-demo.txt)")
    from fleet import Fleet
    from front import Front

    home = install(tmp_path_factory.mktemp("fleet-site") / "site")
    started = []

    def start(hosts, front=None, watchdog=3.0, tls_port=None, store_size=None, **settings):
        port = free_port()
        env = dict(
            os.environ,
            **launch.standin_environ(standin_services),
            WEBAPP_DORVANE_HOME=str(home),
            WEBAPP_BASE_URL=f"https://127.0.0.1:{tls_port}/" if tls_port else f"http://127.0.0.1:{port}/",
            **{"WEBAPP_" + k.upper(): str(v) for k, v in settings.items()},
        )
        fleet = Fleet(
            tmp_path_factory.mktemp("fleet"),
            hosts,
            port=port,
            env=env,
            front=Front(**(front or {})),
            watchdog=watchdog,
            tls_port=tls_port,
            store_size=store_size,
        )
        started.append(fleet)
        return fleet.start()

    yield start
    for fleet in started:
        fleet.stop()


@pytest.fixture(scope="session")
def gluster_mounts(tmp_path_factory):
    """One GlusterFS volume replicated over two storage machines (gluster.
    Volume), mounted by two machines with clients of their own: (mount of
    machine 1, mount of machine 2, the volume)."""
    import gluster
    import netns

    if why := gluster.available():
        pytest.skip(why)
    network = netns.Network(2, storage=len(gluster.STORAGE)).start()
    volume = gluster.Volume(network, Path(tempfile.mkdtemp(prefix="dorvane-gluster-")))
    try:
        volume.start()
        mounts = [volume.mount(i, volume.folder / f"mount-{i}") for i in (1, 2)]
        yield (*mounts, volume)
    finally:
        volume.stop()
        network.stop()


@pytest.fixture(params=["one folder", "two machines on GlusterFS"])
def stores(request, tmp_path):
    """Where two workers find one store: the same folder, or the same
    folder of a GlusterFS volume through two machines' own mounts."""
    if request.param == "one folder":
        return tmp_path / "store", tmp_path / "store"
    first, second, _ = request.getfixturevalue("gluster_mounts")
    name = f"{request.node.name}-{os.getpid()}".translate(str.maketrans("[] ", "---"))
    return first / name, second / name
