"""A host's process: a gunicorn master and its workers, in a process group
of their own so that the whole host stops or dies at once.

A fleet's host listens on a unix socket only the front reaches, or, given a
`network` (netns.Network), on TCP at its own address inside its own
namespace; a host on its own (`port`) listens on that loopback port. Its
health listener (/livez, /readyz, /metrics) is a unix socket beside its
calls' socket (or in its working directory), and in a namespace also a port
of its own that the front checks.
"""

import json
import signal
import socket
import sys

import netns
from unix_http import http_get

from support import HOST
from support.processes import ask, children, finish, kill_group, signal_group, start, wait_until


class Host:
    def __init__(self, index, workdir, socket_path=None, port=None, network=None, log_bound=None):
        self.index = index
        self.log_bound = log_bound  # (max_bytes, kept): see processes.start
        self.workdir = workdir
        self.port = port
        self.network = network
        self.log = workdir / "webapp.log"
        self.server = f"host-{index}"  # its name at the front
        # Its X-Served-By: behind the front its name there; on its own,
        # gunicorn.conf.py's host name:port.
        self.name = (
            f"{socket.gethostname()}/{self.server}" if port is None else f"{socket.gethostname()}:{port}"
        )
        self.socket = socket_path
        self.health = (
            workdir / "health.sock" if port is not None else socket_path.with_name(f"health-{index}.sock")
        )
        self.process = None

    @property
    def address(self):
        """Where its calls go: a loopback port, a unix socket's path, or
        (address, port) in its namespace (known once the namespaces exist)."""
        if self.port is not None:
            return self.port
        if self.network is not None:
            return (self.network.address(self.index), netns.CALLS_PORT)
        return self.socket

    @property
    def bind(self):
        address = self.address
        if isinstance(address, int):
            return f"127.0.0.1:{address}"
        return f"{address[0]}:{address[1]}" if isinstance(address, tuple) else f"unix:{address}"

    @property
    def check_address(self):
        """Where the front checks this host's health."""
        if self.network is not None:
            return (self.network.address(self.index), netns.HEALTH_PORT)
        return self.health

    def environ(self, env):
        health_bind = f"unix:{self.health}"
        if self.network is not None:
            health_bind += " {}:{}".format(*self.check_address)
        place = {"WEBAPP_BIND": self.bind, "WEBAPP_HEALTH_BIND": health_bind}
        if self.port is None:
            place["WEBAPP_SERVED_BY"] = self.name
        if self.network is not None:
            # The front's address, and nobody else's, may tell the host who the client was.
            place["WEBAPP_FORWARDED_ALLOW_IPS"] = self.network.front_address
        return dict(
            env,
            **place,
            WEBAPP_WORKDIR=str(self.workdir),
            PROMETHEUS_MULTIPROC_DIR=str(self.workdir / "metrics"),
        )

    def start(self, env):
        self.workdir.mkdir(parents=True, exist_ok=True)
        prefix = self.network.exec_prefix(self.index) if self.network is not None else []
        self.process = start(
            [*prefix, sys.executable, "-m", "gunicorn", "-c", str(HOST / "gunicorn.conf.py")],
            self.log,
            env=self.environ(env),
            log_bound=self.log_bound,
        )
        address = self.port or self.bind.removeprefix("unix:")
        (self.workdir / "host.json").write_text(json.dumps({"pid": self.process.pid, "socket": address}))
        return self

    def get(self, route, timeout=5):
        """A request straight to this host's health listener: (status, body, headers)."""
        return http_get(self.health, route, timeout)

    def healthy(self, timeout=2):
        """Whether the host is ready: it passes the front's check (/readyz)."""
        try:
            return self.get("/readyz", timeout)[0] == 200
        except OSError:
            return False

    def live(self, timeout=1):
        """Whether the host passes its liveness (/livez), which fails only when
        its event loop has stopped turning (or nothing answers at all)."""
        try:
            return self.get("/livez", timeout)[0] == 200
        except OSError:
            return False

    def wait_ready(self, seconds=60):
        wait_until(self.healthy, seconds, f"host {self.name}", self.process, self.log, step=0.1)

    def pids(self):
        """The master and its workers; none once the master has gone."""
        try:
            return [self.process.pid, *children(self.process.pid)]
        except OSError:
            return []

    def signal(self, sig):
        """`sig` to the whole host at once (SIGSTOP hangs it, SIGCONT wakes it)."""
        signal_group(self.process.pid, sig)

    def kill(self):
        """The host fails outright: master and workers get SIGKILL at once."""
        kill_group(self.process.pid)
        self.process.wait()

    def terminate(self):
        if self.process is not None and self.process.poll() is None:
            signal_group(self.process.pid, signal.SIGCONT)  # a stopped host could not stop
            ask(self.process)  # gunicorn lets the calls in flight finish

    def wait_stopped(self, seconds=20):
        finish(self.process, seconds)  # and the workers left behind
