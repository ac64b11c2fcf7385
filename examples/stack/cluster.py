"""A fleet of identical application hosts behind one front, on one machine.

Each host is a gunicorn of the example application in its own working
directory, as a separate machine would be, whose `output` is a link to the
one shared store, as a shared mount would give it. HAProxy is the front
(haproxy.cfg): the one address clients reach, with per-client limits,
a queue within each host's capacity and active health checks; it hands the
audio links to nginx (nginx.conf.in), which serves them from the store. The
hosts and nginx listen on unix sockets in a folder only the fleet's user may
enter, so nothing reaches them past the front. The store and the sockets are
the fleet's runtime folder, a new one under the system's temporary folder
(TMPDIR, else /tmp), removed when it stops: started as root, nginx's workers
run unprivileged and must pass through to the store, which a folder of
root's (mode 0700, as /root) forbids them, and the user's folders are never
opened for them. The demo, the fleet tests and
the load benchmark all start it here, through launch.py:

    python launch.py --hosts 3      # with the stand-in; serve until Ctrl-C
"""

import collections
import dataclasses
import grp
import http.client
import json
import math
import os
import pwd
import resource
import shutil
import signal
import socket
import stat
import sys
import tempfile
import threading
import time
import types
from dataclasses import dataclass
from pathlib import Path
from urllib.parse import urlsplit

import repository  # noqa: F401

import netns as netns_module
from webapp import envsettings, serving

from support import HOST, STACK
from support.defaults import APP_PORT, OUTPUT_FOLDERS
from support.processes import children, finish, kill_group, listening, start, stop, wait_until

# A host at the front: its calls' address, its state taken from its health
# check on its operator listener (the `operators` backend).
SERVER_LINE = "    server {name} {address} track operators/{name}"
CHECK_LINE = "    server {name} {address} check"
# The longest path of a unix socket the front connects to: HAProxy's own
# limit, below the kernel's 107.
SOCKET_PATH_MAX = 97


@dataclass
class Front:
    """The front's limits, each a setting: FRONT_<NAME> in the environment of
    launch.py, or an argument of a caller (the benchmark raises the
    per-client ones out of its way)."""

    # Calls one client address may have in flight; more get 429 at once.
    client_calls: int = 32
    # Requests one client address may make in any 10 seconds; more get 429.
    client_rate: int = 300
    # Connections one client address may hold open; more are closed at once.
    # With `max_connections`, it says how many addresses it takes to fill
    # the front: 128.
    client_connections: int = 64
    # Connections the front holds in all. An idle or trickling connection
    # costs HAProxy a few KiB; one that holds full buffers, a reader too
    # slow to take an answer, costs some 4.5 buffers (its own, and those of
    # the connections on either side): 72 KiB at 16 KiB each. So the
    # front's memory stays within about max_connections x 72 KiB (576 MiB)
    # whoever reads slowly, and what one slow reader's going frees, the
    # next one reuses. 8192 connections need some 17,000 descriptors,
    # within the 20,000 this machine lets a process hold.
    max_connections: int = 8192
    # HAProxy's buffer (tune.bufsize), in bytes: a request body that fits,
    # with its headers, is held whole before a host sees it (and may be
    # tried again elsewhere); every text a call may send does. A larger
    # one, up to `body_max`, goes on to the host as it arrives.
    buffer_size: int = 16384
    # Calls in flight per host; 0: what its CPU serves, its workers times
    # `worker_rate` calls a second times `call_seconds`, within what its
    # gunicorn settings let it hold at once.
    host_calls: int = 0
    # Calls a second one host worker sustains: measured on this machine
    # (bench/load.py --overload), three hosts sharing its two cores with the
    # stand-in; a host on a machine of its own sustains more.
    worker_rate: float = 45.0
    # Seconds a speech call takes: the module's ten-second wait and the
    # remote exchange.
    call_seconds: float = 10.5
    # Calls that wait at the front for a host with room; beyond them a call
    # gets 503 at once. 0: a second's worth of the fleet's calls.
    queue_max: int = 0
    # Seconds a call waits in that queue at most, then gets 503.
    queue_timeout: float = 5
    # Seconds for a request's headers, and then for its body, in all.
    header_timeout: float = 10
    body_timeout: float = 10
    # Seconds a call may take; 0: the hosts' own bound (WEBAPP_CALL_TIMEOUT,
    # serving.py), the module's wait plus its remote exchanges.
    call_timeout: float = 0
    # Active health, on each host's operator listener, which answers off
    # its event loop however busy the host is: a check every interval
    # (seconds), each given the time-out to answer; `check_fall` failed in
    # a row take a host out, as only a stopped, dead or cut-off host fails.
    # Out within about interval + fall * time-out (2.5 s).
    check_interval: float = 0.5
    check_timeout: float = 1
    check_fall: int = 2
    # A host cut off from the front never answers the calls it holds: the
    # kernel probes a call's connection to a host once it has been silent
    # `keepalive_idle` seconds, then every second, and `keepalive_probes`
    # probes unanswered end it, and the call goes to another host. Only a
    # host out of reach fails them (its kernel answers however busy or hung
    # its processes are): its calls move on within about 5 s of the cut.
    keepalive_idle: int = 2
    keepalive_probes: int = 3
    # The largest request body, in bytes; 0: the application's own limit
    # (host_body_max).
    body_max: int = 0
    # Host names the front answers besides its own address and the base
    # URL's, separated by blanks.
    server_names: str = ""
    # The front's log and each host's: rotated once it reaches this many
    # bytes (access.log.1, ... as logrotate names them), `log_files` kept
    # besides it, so no one's requests grow them without bound.
    log_max_bytes: int = 64 << 20
    log_files: int = 4
    # The address the front listens on: loopback, for this machine alone;
    # 0.0.0.0, or the machine's public address, to serve others.
    address: str = "127.0.0.1"
    # HTTPS: a PEM file holding the front's certificate, its chain and its
    # private key, as HAProxy's `crt` reads it (an ACME client's full chain
    # and key, one after the other). With one, the front speaks HTTPS on the
    # fleet's `tls_port`, and plain HTTP on its `port` only sends clients
    # there (308); empty, plain HTTP only. The file may be replaced while the
    # fleet runs: `Fleet.reload_front` reads it again.
    certificate: str = ""
    # Seconds a browser keeps to HTTPS for the front's name once told
    # (Strict-Transport-Security): two years.
    hsts_seconds: int = 63072000

    @classmethod
    def from_environ(cls, environ=os.environ):
        return envsettings.read(cls, "FRONT_", environ)


def open_files(wanted):
    """Raises this process's soft limit of open files towards `wanted`
    (HAProxy needs two descriptors a connection); past the hard limit,
    HAProxy itself says what it lacks."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(wanted, hard)), hard))


def address_text(address):
    """A host's address as HAProxy's server line takes it."""
    if isinstance(address, tuple):
        return f"{address[0]}:{address[1]}"
    return str(address)


def milliseconds(seconds):
    """A time in HAProxy's notation, which takes whole numbers only."""
    return f"{round(seconds * 1000)}ms"


def binary(name):
    found = shutil.which(name) or f"/usr/sbin/{name}"
    if not os.access(found, os.X_OK):
        raise RuntimeError(f"{name} is not installed (apt-get install {name}; scripts/setup does)")
    return found


def nginx_binary():
    return binary("nginx")


def haproxy_binary():
    return binary("haproxy")


def kill_host(pid, seconds=10):
    """SIGKILL to a host's whole process group (master and workers), and
    returns once every one of them has ended: until the last has, the kernel
    still queues connections on its sockets, to be reset."""
    kill_group(pid, seconds)


class UnixConnection(http.client.HTTPConnection):
    """HTTP over a unix socket: how the front, and an operator, reach a host."""

    def __init__(self, path, timeout=5):
        super().__init__("localhost", timeout=timeout)
        self.path = str(path)

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(self.timeout)
        self.sock.connect(self.path)


def http_get(address, route, timeout=5):
    """GET `route` from the server at `address`, a unix socket's path or a
    loopback port: (status, body, headers)."""
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


def host_body_max(env):
    """The largest request body the application takes (Flask's
    MAX_CONTENT_LENGTH) as its settings under `env` make it: the front
    refuses a larger one before any host sees it. Read from an application
    made here around a placeholder, which no call reaches."""
    import webapp

    made = webapp.create_app(types.SimpleNamespace(), webapp.Settings.from_environ(env))
    return made.config["MAX_CONTENT_LENGTH"]


def capacity(config):
    """Calls a host can hold at once, from its gunicorn settings."""
    kind = config["worker_class"].rsplit(".", 1)[-1].lower()
    if "thread" in kind or (kind == "sync" and config["threads"] > 1):  # gunicorn's own switch to gthread
        return config["workers"] * config["threads"]
    if kind == "sync":
        return config["workers"]
    return config["workers"] * config["worker_connections"]


def calls_in_flight(config, worker_rate, call_seconds):
    """Calls in flight a host's CPU serves: its workers' sustained rate
    times a call's duration, within what its settings let it hold."""
    return max(1, min(capacity(config), math.floor(config["workers"] * worker_rate * call_seconds)))


class Host:
    """One application host: a gunicorn master and its workers, in a
    process group of their own so that the whole host can be killed at
    once. A fleet's host listens on a unix socket only the front reaches
    (`socket_path`), or, given a `network` (netns.Network), on TCP at its
    own address inside its own namespace; a host on its own (`port`) listens
    on that loopback port, and its clients reach it directly. Its operator
    listener (health and metrics) is a unix socket beside its calls' socket
    (or in its working directory), and, in a namespace, a port of its own
    that the front checks."""

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
        self.operator = (
            workdir / "operator.sock" if port is not None else socket_path.with_name(f"op-{index}.sock")
        )
        self.process = None

    @property
    def address(self):
        """Where its calls go: a loopback port, a unix socket's path, or
        (address, port) in its namespace (known once the namespaces exist)."""
        if self.port is not None:
            return self.port
        if self.network is not None:
            return (self.network.address(self.index), netns_module.CALLS_PORT)
        return self.socket

    @property
    def bind(self):
        address = self.address
        if isinstance(address, int):
            return f"127.0.0.1:{address}"
        return address_text(address) if isinstance(address, tuple) else f"unix:{address}"

    @property
    def check_address(self):
        """Where the front checks this host's health."""
        if self.network is not None:
            return (self.network.address(self.index), netns_module.OPERATOR_PORT)
        return self.operator

    def environ(self, env):
        place = {"WEBAPP_BIND": self.bind, "WEBAPP_HEALTH_BIND": f"unix:{self.operator}"}
        if self.port is None:
            place["WEBAPP_SERVED_BY"] = self.name
        if self.network is not None:
            place["WEBAPP_HEALTH_BIND"] += " " + address_text(self.check_address)
            # The front's address, and nobody else's, may tell the host
            # who the client was.
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
        address = self.port or address_text(self.address)
        (self.workdir / "host.json").write_text(json.dumps({"pid": self.process.pid, "socket": address}))
        return self

    def get(self, route, timeout=5):
        """An operator's request straight to this host's operator listener:
        (status, body, headers)."""
        return http_get(self.operator, route, timeout)

    def healthy(self, timeout=2):
        """Whether the host is ready: it passes the front's check (/readyz)."""
        try:
            return self.get("/readyz", timeout)[0] == 200
        except OSError:
            return False

    def live(self, timeout=1):
        """Whether the host passes its liveness (/livez): answered from its
        memory, it fails only when the host's event loop has stopped turning
        (or nothing answers at all)."""
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
        os.killpg(self.process.pid, sig)

    def kill(self):
        """The host fails outright: master and workers get SIGKILL at once."""
        process = self.process
        kill_host(process.pid)
        process.wait()

    def terminate(self):
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGCONT)  # a stopped host could not stop
            self.process.terminate()  # gunicorn lets the calls in flight finish

    def wait_stopped(self, seconds=20):
        finish(self.process, seconds)  # and the workers left behind


# Process states in which a process still moves, without using CPU time:
# waiting for a CPU (R, on a machine with more work than cores) or for the
# disk (D).
WAITING = frozenset("RD")


def progress(pid):
    """(CPU ticks, states) of the main threads of the workers of the host
    whose master is `pid` (of the master's alone, while it has none); None
    once it has gone. A worker's main thread runs its event loop: a loop
    that serves calls uses CPU time there, however slowly its probes are
    answered, and a deadlocked or stopped one uses none. The probes' own
    threads' time is not counted: a deadlocked host still answers them."""
    try:
        pids = children(pid) or [pid]
    except OSError:
        return None
    ticks, states = 0, set()
    for each in pids:
        try:
            fields = Path(f"/proc/{each}/task/{each}/stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue  # gone since the listing
        states.add(fields[0])
        ticks += int(fields[11]) + int(fields[12])  # utime, stime
    return ticks, states


class Supervisor:
    """Keeps a fleet's hosts running, as systemd keeps a service with
    Restart=on-failure and WatchdogSec: a host that exits is started again
    after a back-off (`first_delay`, doubled for each restart within the
    last minute, at most `longest_delay`), and one that makes no progress
    is killed, to be restarted the same way. A hung host's calls then end
    at once, and the front tries elsewhere those it never read.

    Progress is the host's liveness (/livez on its own unix socket, as a
    supervisor on the host's machine would ask it: a host cut off from the
    network is not hung), and, while that fails, the CPU time and the state
    of its workers' event-loop threads (`progress`). Once it had passed, a
    host whose liveness fails is killed
    - after `watchdog` seconds in which its loops used no CPU time and none
      was waiting for a CPU or the disk: stopped (SIGSTOP) or deadlocked;
    - after `patience` seconds (30 or more) whatever else: a loop that
      turns no more, though it computes.
    A host that answers late on a machine with more work than its cores
    still uses CPU time: it is busy, not dead, and its readiness at the
    front already keeps new calls off it. Killing it would move its calls
    and its load onto the others, and make a busy machine a restart loop.
    A host that never passed, starting, gets `startup` seconds."""

    def __init__(
        self,
        hosts,
        env,
        watchdog=3.0,
        patience=30.0,
        first_delay=0.1,
        longest_delay=5.0,
        every=0.5,
        startup=60.0,
    ):
        self.hosts = hosts
        self.env = env
        self.watchdog = watchdog
        self.patience = max(patience, watchdog)
        self.first_delay = first_delay
        self.longest_delay = longest_delay
        self.every = every
        self.startup = startup
        self.stopping = threading.Event()
        self.events = []  # (monotonic time, host's name at the front, what happened)
        self.threads = []

    def note(self, host, what):
        self.events.append((time.monotonic(), host.server, what))
        print(f"supervisor: {host.server} {what}", file=sys.stderr, flush=True)

    def start(self):
        self.threads = [
            threading.Thread(target=self.keep, args=(host,), name=f"supervise-{host.server}", daemon=True)
            for host in self.hosts
        ]
        for thread in self.threads:
            thread.start()
        return self

    def stop(self):
        self.stopping.set()
        for thread in self.threads:
            thread.join()

    def verdict(self, now, started, answered, moved):
        """Why a host whose liveness fails now is to be killed, or None."""
        if answered is None:
            return "did not start; killed" if now - started > self.startup else None
        if now - moved > self.watchdog:
            return f"made no progress for {now - moved:.0f} s; killed"
        if now - answered > self.patience:
            return f"failed liveness for {now - answered:.0f} s; killed"
        return None

    def keep(self, host):
        restarts = collections.deque()
        # The fleet hands over hosts it has seen ready, so each has answered:
        # one that hangs at once is killed after the watchdog, not after the
        # start-up's patience, which only a host (re)starting here needs.
        started = answered = moved = time.monotonic()
        ticks = None
        while not self.stopping.wait(self.every):
            process = host.process
            now = time.monotonic()
            if process.poll() is not None:
                self.note(host, f"exited ({process.returncode})")
                while restarts and now - restarts[0] > 60:
                    restarts.popleft()
                delay = min(self.longest_delay, self.first_delay * 2 ** len(restarts))
                if self.stopping.wait(delay):
                    return
                host.start(self.env)
                restarts.append(time.monotonic())
                started, answered, moved = time.monotonic(), None, None
                self.note(host, f"restarted after {delay:.1f} s")
                continue
            if host.live(timeout=1):
                answered = moved = time.monotonic()
                continue
            marks = progress(process.pid)
            if marks is not None and (marks[0] != ticks or marks[1] & WAITING):
                moved, ticks = time.monotonic(), marks[0]
            why = self.verdict(time.monotonic(), started, answered, moved)
            if why is not None:
                self.note(host, why)
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass


class Fleet:
    """`hosts` application hosts behind the front on `port`, under `folder`:
    host-N/ (working directories), front/ (the front's configuration and
    log), nginx/ (configuration, pid, logs, temporary files); and in its
    runtime folder (`runtime`, a new one under the temporary folder, removed
    at stop): store/ (the shared output) and sockets/ (the hosts', nginx's
    and the front's control socket, for the fleet's user alone). `front` holds the front's limits (default:
    `Front.from_environ()`). The hosts' links point at the front
    (WEBAPP_BASE_URL) unless `env` names another root.

    With `netns`, each host runs in a network namespace of its own
    (netns.Network, `network`), on TCP; `service_ports` are the loopback
    ports of the services the hosts call (the stand-in's), relayed into
    each namespace. `watchdog` is the supervisor's (`Supervisor`)."""

    def __init__(
        self,
        folder,
        hosts=1,
        port=APP_PORT,
        env=None,
        front=None,
        netns=False,
        service_ports=(),
        watchdog=3.0,
        tls_port=None,
    ):
        self.folder = Path(folder).resolve()
        self.port = port
        # Its own, whatever the modes of the user's folders: nginx's workers
        # read the store as another user when the fleet runs as root.
        self.runtime = Path(tempfile.mkdtemp(prefix="dorvane-fleet-"))
        self.store = self.runtime / "store"
        self.sockets = self.runtime / "sockets"
        self.run = self.folder / "nginx"
        self.front_dir = self.folder / "front"
        self.network = netns_module.Network(hosts, service_ports) if netns else None
        self.hosts = [
            Host(
                i + 1,
                self.folder / f"host-{i + 1}",
                self.sockets / f"host-{i + 1}.sock",
                network=self.network,
            )
            for i in range(hosts)
        ]
        self.env = dict(os.environ if env is None else env)
        self.front = front or Front.from_environ()
        self.log_bound = (self.front.log_max_bytes, self.front.log_files)
        for host in self.hosts:
            host.log_bound = self.log_bound
        self.tls_port = tls_port
        if self.front.certificate and not tls_port:
            raise ValueError("a front with a certificate needs its HTTPS port (tls_port)")
        self.env.setdefault("WEBAPP_BASE_URL", self.url)
        # The hosts' server settings as their gunicorn.conf.py reads them,
        # set for them here explicitly: what a host holds at once, and so
        # the front's room for it, follows from them.
        self.server = serving.Server.from_environ(self.env)
        for name in ("worker_class", "workers", "worker_connections", "threads", "call_timeout"):
            self.env[f"WEBAPP_{name.upper()}"] = str(getattr(self.server, name))
        # The front's bounds are the hosts' own, unless it is given others.
        self.call_timeout = self.front.call_timeout or self.server.call_timeout
        self.body_max = self.front.body_max or host_body_max(self.env)
        self.supervisor = Supervisor(self.hosts, self.env, watchdog)
        self.haproxy = None
        self.nginx = None
        self.calls_per_host = None  # in effect once laid out
        self.queue_max = None

    @property
    def url(self):
        if self.front.certificate:
            return f"https://127.0.0.1:{self.tls_port}/"
        return f"http://127.0.0.1:{self.port}/"

    def https_root(self):
        """Where plain HTTP is sent: the base URL's scheme and name when
        they are HTTPS's, else the front's own HTTPS address."""
        base = urlsplit(self.env["WEBAPP_BASE_URL"])
        if base.scheme == "https" and base.netloc:
            return f"https://{base.netloc}"
        return self.url.rstrip("/")

    @property
    def access_log(self):
        """The front's log: one line per request, with the host it went to."""
        return self.front_dir / "access.log"

    @property
    def admin_socket(self):
        return self.sockets / "admin.sock"

    @property
    def nginx_socket(self):
        return self.sockets / "nginx.sock"

    def server_names(self):
        ports = [self.port, self.tls_port] if self.front.certificate else [self.port]
        names = {*self.front.server_names.split()}
        names.update(f"{name}:{port}" for name in ("127.0.0.1", "localhost") for port in ports)
        base = urlsplit(self.env["WEBAPP_BASE_URL"])
        if base.scheme in ("http", "https") and base.hostname:
            names.add(base.netloc.lower())
            default_port = {"http": 80, "https": 443}[base.scheme]
            if base.port in (None, default_port):
                names.update({base.hostname.lower(), f"{base.hostname.lower()}:{default_port}"})
        return sorted(names)

    def host_calls(self):
        """Calls in flight per host: the setting, or what its CPU serves."""
        if self.front.host_calls > 0:
            return self.front.host_calls
        return calls_in_flight(
            dataclasses.asdict(self.server), self.front.worker_rate, self.front.call_seconds
        )

    def render(self, template, values):
        config = (STACK / template).read_text()
        for key, value in values.items():
            config = config.replace(f"@{key}@", str(value))
        return config

    def front_environ(self):
        """The settings haproxy.cfg reads, as HAProxy takes them: the
        front's environment, and nothing else of the launcher's."""
        front = self.front
        return {
            "PATH": os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin"),
            "STACK": str(STACK),
            "RUN": str(self.front_dir),
            "ADDRESS": front.address,
            "PORT": str(self.port),
            "MAX_CONNECTIONS": str(front.max_connections),
            "BUFSIZE": str(front.buffer_size),
            "HEADER_TIMEOUT": milliseconds(front.header_timeout),
            "BODY_TIMEOUT": milliseconds(front.body_timeout),
            "CALL_TIMEOUT": milliseconds(self.call_timeout),
            "QUEUE_TIMEOUT": milliseconds(front.queue_timeout),
            "CHECK_INTERVAL": milliseconds(front.check_interval),
            "CHECK_TIMEOUT": milliseconds(front.check_timeout),
            "CHECK_FALL": str(front.check_fall),
            "KEEPALIVE_IDLE": str(front.keepalive_idle),
            "KEEPALIVE_PROBES": str(front.keepalive_probes),
            "CLIENT_CONNECTIONS": str(front.client_connections),
            "CLIENT_RATE": str(front.client_rate),
            "CLIENT_CALLS": str(front.client_calls),
            "BODY_MAX": str(self.body_max),
            "BODY_DIGITS": str(len(str(self.body_max))),
            # Words HAProxy splits ("${SERVER_NAMES[*]}").
            "SERVER_NAMES": " ".join(self.server_names()),
            "HOST_CALLS": str(self.calls_per_host),
            "QUEUE_MAX": str(self.queue_max),
            "NGINX_SOCKET": str(self.nginx_socket),
            "ADMIN_SOCKET": str(self.admin_socket),
            **(
                {
                    "CERTIFICATE": str(Path(front.certificate).resolve()),
                    "TLS_PORT": str(self.tls_port),
                    "HTTPS_ROOT": self.https_root(),
                    "HSTS_SECONDS": str(front.hsts_seconds),
                }
                if front.certificate
                else {}
            ),
        }

    def servers(self):
        """servers.cfg: the fleet's hosts, in the backends that take their
        settings from haproxy.cfg's named defaults."""
        return "\n".join(
            [
                "# The fleet's hosts, written by cluster.py; the settings are haproxy.cfg's.",
                "backend hosts from hosts_settings",
                *(SERVER_LINE.format(name=h.server, address=address_text(h.address)) for h in self.hosts),
                "",
                "backend operators from operators_settings",
                *(
                    CHECK_LINE.format(name=h.server, address=address_text(h.check_address))
                    for h in self.hosts
                ),
                "",
            ]
        )

    def make_runtime(self):
        """The runtime folder, made again if an earlier stop removed it: by
        name, in a folder others may write to, so what is found in its place
        must be this user's own folder, not a link planted there."""
        try:
            self.runtime.mkdir(mode=0o700)
        except FileExistsError:
            found = self.runtime.lstat()
            if not stat.S_ISDIR(found.st_mode) or found.st_uid != os.geteuid():
                raise RuntimeError(f"{self.runtime} exists and is not this fleet's folder") from None
        # Others may pass through to the store (nginx's workers, as root),
        # not list what is here.
        self.runtime.chmod(0o711)

    def lay_out(self):
        self.make_runtime()
        for kind in OUTPUT_FOLDERS:
            (self.store / kind).mkdir(parents=True, exist_ok=True)
        # Only the fleet's user may enter: whoever else reaches the machine
        # cannot open the hosts' sockets and must come through the front.
        for folder in (self.sockets, self.front_dir):
            folder.mkdir(parents=True, exist_ok=True)
            folder.chmod(0o700)
        for path in (
            [h.socket for h in self.hosts]
            + [h.operator for h in self.hosts]
            + [self.nginx_socket, self.admin_socket]
        ):
            if len(str(path)) > SOCKET_PATH_MAX:
                raise RuntimeError(
                    f"the socket path {path} is too long for a unix socket; use a shorter TMPDIR"
                )
        for host in self.hosts:
            host.workdir.mkdir(parents=True, exist_ok=True)
            output = host.workdir / "output"
            # A link an earlier fleet left points at its removed store.
            if output.is_symlink():
                output.unlink()
            elif output.exists():
                raise RuntimeError(f"{output} exists and is not a link to a fleet's store")
            output.symlink_to(self.store, target_is_directory=True)
        for name in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            (self.run / "tmp" / name).mkdir(parents=True, exist_ok=True)
        self.run.chmod(0o700)
        # Started as root, nginx's master keeps root and its workers, which
        # read the files clients ask for, become nobody: they must be able to
        # pass through to the store and read it, as any other user may.
        user = ""
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            user = f"user {nobody.pw_name} {grp.getgrgid(nobody.pw_gid).gr_name};"
            closed = [p for p in [self.store, *self.store.parents] if not p.stat().st_mode & 0o001]
            if closed:
                raise RuntimeError(
                    f"nginx's workers run as nobody, who cannot pass through {closed[-1]} "
                    f"to the store {self.store}: set TMPDIR to a folder others may pass "
                    "through (mode o+x on it and on each folder above), as /tmp is"
                )
            for folder in (self.store, *(self.store / kind for kind in OUTPUT_FOLDERS)):
                folder.chmod(0o755)
        (self.run / "nginx.conf").write_text(
            self.render(
                "nginx.conf.in",
                {"USER": user, "RUN": self.run, "STORE": self.store, "SOCKET": self.nginx_socket},
            )
        )
        front = self.front
        self.calls_per_host = self.host_calls()
        # Every call the front may hand a host at once waits in the host's
        # listen backlog until a worker takes it. A smaller backlog refuses
        # a burst's connects past it while the host has room: the front then
        # sheds calls it had admitted, as many as its retries do not place
        # elsewhere, and HAProxy 2.6 and 3.2 place different shares of them.
        self.env.setdefault("WEBAPP_BACKLOG", str(self.calls_per_host))
        self.queue_max = front.queue_max or math.ceil(
            self.calls_per_host * len(self.hosts) / front.call_seconds
        )
        (self.front_dir / "servers.cfg").write_text(self.servers())

    def start(self):
        try:
            # The namespaces first: their addresses go into the front's configuration.
            if self.network is not None:
                self.network.start()
            self.lay_out()
            for host in self.hosts:
                host.start(self.env)
            for host in self.hosts:
                host.wait_ready()
            self.nginx = start(
                [
                    nginx_binary(),
                    "-p",
                    str(self.run),
                    "-c",
                    str(self.run / "nginx.conf"),
                    "-e",
                    str(self.run / "error.log"),
                ],
                self.run / "nginx.out",
            )
            wait_until(
                lambda: listening(self.nginx_socket),
                30,
                "nginx",
                self.nginx,
                self.run / "error.log",
                step=0.1,
            )
            # -db: in the foreground, its log on stdout, its complaints on
            # stderr; -W: a master that reloads its worker on SIGUSR2.
            errors = self.front_dir / "haproxy.err"
            self.haproxy = start(
                [
                    haproxy_binary(),
                    "-W",
                    "-db",
                    "-f",
                    str(STACK / "haproxy.cfg"),
                    "-f",
                    str(self.front_dir / "servers.cfg"),
                ],
                self.access_log,
                errors,
                log_bound=self.log_bound,
                env=self.front_environ(),
                preexec_fn=lambda: open_files(2 * self.front.max_connections + 1024),
            )
            ports = [self.port, self.tls_port] if self.front.certificate else [self.port]
            address = "127.0.0.1" if self.front.address == "0.0.0.0" else self.front.address
            wait_until(
                lambda: all(listening((address, p)) for p in ports),
                30,
                "haproxy",
                self.haproxy,
                errors,
                step=0.1,
            )
            self.supervisor.start()
        except BaseException:
            self.stop()
            raise
        return self

    def front_command(self, command):
        """One command on the front's control socket; its answer."""
        with socket.socket(socket.AF_UNIX) as control:
            control.settimeout(5)
            control.connect(str(self.admin_socket))
            control.sendall(command.encode() + b"\n")
            answer = b""
            while chunk := control.recv(65536):
                answer += chunk
        return answer.decode()

    def front_pid(self):
        """The front's worker, by its own word; None while none answers."""
        try:
            info = self.front_command("show info")
        except OSError:
            return None
        return next((int(line.split()[1]) for line in info.splitlines() if line.startswith("Pid:")), None)

    def reload_front(self, seconds=30):
        """The front reads its configuration and its certificate again, as
        HAProxy's master reloads: a new worker takes over the listening
        sockets (passed on, so no connection waiting in them is lost) and
        the old one ends once the calls it holds have ended. Returns once
        the new worker answers; a configuration or certificate it cannot
        read leaves the old worker serving, and raises here."""
        old = self.front_pid()
        self.haproxy.send_signal(signal.SIGUSR2)
        wait_until(
            lambda: self.front_pid() not in (None, old),
            seconds,
            "the front's reload",
            self.haproxy,
            self.front_dir / "haproxy.err",
            step=0.1,
        )

    def host_states(self):
        """host's name at the front -> "UP", "DOWN" ... by the front's checks."""
        lines = self.front_command("show stat").splitlines()
        header = lines[0].lstrip("# ").split(",")
        states = {}
        for line in lines[1:]:
            row = dict(zip(header, line.split(","), strict=False))
            if row.get("pxname") == "hosts" and row.get("svname", "").startswith("host-"):
                states[row["svname"]] = row["status"].split()[0]
        return states

    def stop(self):
        self.supervisor.stop()
        stop(self.haproxy, signal.SIGUSR1)  # graceful: answers in progress finish
        stop(self.nginx, signal.SIGQUIT)
        for host in self.hosts:
            host.terminate()
        for host in self.hosts:
            host.wait_stopped()
        if self.network is not None:
            self.network.stop()
        shutil.rmtree(self.runtime, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
