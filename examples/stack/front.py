"""The front: its limits (`Front`, the FRONT_* settings), the arithmetic
that sizes each host's room at it, and the configuration HAProxy and nginx
start with. haproxy.cfg is read as it is, its settings taken from the
environment `haproxy_environ` makes; servers.cfg (the hosts) and nginx.conf
(nginx reads no environment) are written into the fleet's folder."""

import math
import os
import resource
import shutil
import types
from dataclasses import dataclass
from urllib.parse import urlsplit

from webapp import envsettings

from support import STACK

# A host at the front: its calls' address, its state that of its health
# listener's check (the `health` backend).
SERVER_LINE = "    server {name} {address} track health/{name}"
CHECK_LINE = "    server {name} {address} check"
# HAProxy's own limit on a unix socket's path, below the kernel's 107.
SOCKET_PATH_MAX = 97
# Calls a second one host worker sustained on the development machine
# (bench/README.md, "Past the fleet's caps"): a measurement of that machine,
# not of the host. Measure yours with bench/load.py --overload and set
# FRONT_WORKER_RATE; a slower machine left on this one is sent more than it serves.
DEVELOPMENT_MACHINE_WORKER_RATE = 45.0


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
    client_connections: int = 64
    # The prefix lengths that make one client of many addresses (IPv4, IPv6):
    # the per-client limits above count a network's addresses together.
    client_prefix_v4: int = 24
    client_prefix_v6: int = 64
    # Stored files one client address may be downloading at once (HTTP/2
    # streams or connections); more get 429.
    client_files: int = 8
    # Connections the front opens to nginx at most, below nginx's
    # worker_connections (nginx.conf.in); downloads beyond them wait in the
    # queue, then get 503.
    files_connections: int = 3072
    # Connections the front holds in all, each two descriptors (open_files);
    # a slow reader holds buffers on both sides, so this bounds the front's memory.
    max_connections: int = 8192
    # HAProxy's buffer (tune.bufsize), in bytes: a request body that fits
    # with its headers is held whole, and may be tried again elsewhere.
    buffer_size: int = 16384
    # Calls in flight per host; 0: what its CPU serves (calls_in_flight).
    host_calls: int = 0
    # Calls a second one host worker sustains on this machine.
    worker_rate: float = DEVELOPMENT_MACHINE_WORKER_RATE
    # Seconds a speech call takes: the module's wait and the remote exchange.
    call_seconds: float = 10.5
    # Calls that wait at the front for a host with room, beyond which a call
    # gets 503 at once; 0: a second's worth of the fleet's calls.
    queue_max: int = 0
    # Seconds a call waits in that queue at most, then gets 503.
    queue_timeout: float = 5
    # Seconds for a request's headers, and then for its body, in all.
    header_timeout: float = 10
    body_timeout: float = 10
    # Seconds a call may take; 0: the hosts' own bound (WEBAPP_CALL_TIMEOUT).
    call_timeout: float = 0
    # Active checks of each host's health listener: every interval, each
    # given the time-out; `check_fall` failed in a row take a host out.
    check_interval: float = 0.5
    check_timeout: float = 1
    check_fall: int = 2
    # The kernel probes a call's connection to a host once it has been silent
    # this long, then every second; unanswered probes end it, and the call
    # goes elsewhere. Only a host out of reach fails them.
    keepalive_idle: int = 2
    keepalive_probes: int = 3
    # The largest request body, in bytes; 0: the application's own limit.
    body_max: int = 0
    # Host names the front answers besides its own address and the base
    # URL's, separated by blanks.
    server_names: str = ""
    # Each log rotated at this many bytes, `log_files` kept besides it.
    log_max_bytes: int = 64 << 20
    log_files: int = 4
    # The address the front listens on; 0.0.0.0 to serve other machines.
    address: str = "127.0.0.1"
    # HTTPS: a PEM file with the certificate, its chain and its key, as
    # HAProxy's `crt` reads it. With one, plain HTTP only sends clients to
    # HTTPS (308). Fleet.reload_front reads it again.
    certificate: str = ""
    # Strict-Transport-Security's max-age: two years.
    hsts_seconds: int = 63072000

    @classmethod
    def from_environ(cls, environ=os.environ):
        return envsettings.read(cls, "FRONT_", environ)


def binary(name):
    found = shutil.which(name) or f"/usr/sbin/{name}"
    if not os.access(found, os.X_OK):
        raise RuntimeError(f"{name} is not installed (apt-get install {name}; scripts/setup does)")
    return found


def nginx_binary():
    return binary("nginx")


def haproxy_binary():
    return binary("haproxy")


def open_files(wanted):
    """Raises this process's soft limit of open files towards `wanted`; past
    the hard limit, HAProxy itself says what it lacks."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(wanted, hard)), hard))


def address_text(address):
    """An address as HAProxy's server line takes it: a unix socket's path,
    or host:port."""
    if isinstance(address, tuple):
        return f"{address[0]}:{address[1]}"
    return str(address)


def milliseconds(seconds):
    """A time in HAProxy's notation, which takes whole numbers only."""
    return f"{round(seconds * 1000)}ms"


def host_body_max(env):
    """The largest request body the application takes (Flask's
    MAX_CONTENT_LENGTH) under `env`, read from an application made around a
    placeholder module, which no call reaches."""
    import webapp

    made = webapp.create_app(types.SimpleNamespace(), webapp.Settings.from_environ(env))
    return made.config["MAX_CONTENT_LENGTH"]


def capacity(config):
    """Calls a host can hold at once, from its gunicorn settings."""
    # The host's settings take gevent or gthread alone.
    if config["worker_class"] == "gthread":
        return config["workers"] * config["threads"]
    return config["workers"] * config["worker_connections"]


def calls_in_flight(config, worker_rate, call_seconds):
    """Calls in flight a host's CPU serves: its workers' sustained rate
    times a call's duration, within what its settings let it hold."""
    return max(1, min(capacity(config), math.floor(config["workers"] * worker_rate * call_seconds)))


def queue_max(front, calls_per_host, hosts):
    """Calls the front queues: the setting, or a second's worth of the fleet's."""
    return front.queue_max or math.ceil(calls_per_host * hosts / front.call_seconds)


def render(template, values):
    """STACK/`template` with each @KEY@ replaced by its value."""
    config = (STACK / template).read_text()
    for key, value in values.items():
        config = config.replace(f"@{key}@", str(value))
    return config


def nginx_conf(run, store, socket_path, user=""):
    """nginx.conf for the fleet: its own pid, logs and temporary folders in
    `run`, the files of `store` served on `socket_path`."""
    return render("nginx.conf.in", {"USER": user, "RUN": run, "STORE": store, "SOCKET": socket_path})


def servers_cfg(hosts):
    """servers.cfg: the hosts, in backends that take their settings from
    haproxy.cfg's named defaults."""
    return "\n".join(
        [
            "# The fleet's hosts, written by front.py; the settings are haproxy.cfg's.",
            "backend hosts from hosts_settings",
            *(SERVER_LINE.format(name=h.server, address=address_text(h.address)) for h in hosts),
            "",
            "backend health from health_settings",
            *(CHECK_LINE.format(name=h.server, address=address_text(h.check_address)) for h in hosts),
            "",
        ]
    )


def server_names(front, ports, base_url):
    """The Host names the front answers: its own addresses on `ports`,
    the base URL's name, and those its settings add."""
    names = {*front.server_names.split()}
    names.update(f"{name}:{port}" for name in ("127.0.0.1", "localhost") for port in ports)
    base = urlsplit(base_url)
    if base.scheme in ("http", "https") and base.hostname:
        names.add(base.netloc.lower())
        default_port = {"http": 80, "https": 443}[base.scheme]
        if base.port in (None, default_port):
            names.update({base.hostname.lower(), f"{base.hostname.lower()}:{default_port}"})
    return sorted(names)


def https_root(base_url, url):
    """Where plain HTTP is sent: the base URL's scheme and name when they
    are HTTPS's, else the front's own HTTPS address `url`."""
    base = urlsplit(base_url)
    if base.scheme == "https" and base.netloc:
        return f"https://{base.netloc}"
    return url.rstrip("/")


def haproxy_environ(fleet):
    """The settings haproxy.cfg reads for `fleet`'s front, and nothing else
    of the launcher's environment."""
    front = fleet.front
    base_url = fleet.env["WEBAPP_BASE_URL"]
    return {
        "PATH": os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin"),
        "STACK": str(STACK),
        "RUN": str(fleet.front_dir),
        "ADDRESS": front.address,
        "PORT": str(fleet.port),
        "MAX_CONNECTIONS": str(front.max_connections),
        "BUFSIZE": str(front.buffer_size),
        "HEADER_TIMEOUT": milliseconds(front.header_timeout),
        "BODY_TIMEOUT": milliseconds(front.body_timeout),
        "CALL_TIMEOUT": milliseconds(fleet.call_timeout),
        "QUEUE_TIMEOUT": milliseconds(front.queue_timeout),
        "CHECK_INTERVAL": milliseconds(front.check_interval),
        "CHECK_TIMEOUT": milliseconds(front.check_timeout),
        "CHECK_FALL": str(front.check_fall),
        "KEEPALIVE_IDLE": str(front.keepalive_idle),
        "KEEPALIVE_PROBES": str(front.keepalive_probes),
        "CLIENT_CONNECTIONS": str(front.client_connections),
        "CLIENT_RATE": str(front.client_rate),
        "CLIENT_CALLS": str(front.client_calls),
        "CLIENT_PREFIX_V4": str(front.client_prefix_v4),
        "CLIENT_PREFIX_V6": str(front.client_prefix_v6),
        "CLIENT_FILES": str(front.client_files),
        "FILES_CONNECTIONS": str(front.files_connections),
        "BODY_MAX": str(fleet.body_max),
        "BODY_DIGITS": str(len(str(fleet.body_max))),
        # Words HAProxy splits ("${SERVER_NAMES[*]}").
        "SERVER_NAMES": " ".join(server_names(front, fleet.front_ports, base_url)),
        "HOST_CALLS": str(fleet.calls_per_host),
        "QUEUE_MAX": str(fleet.queue_max),
        "NGINX_SOCKET": str(fleet.nginx_socket),
        "ADMIN_SOCKET": str(fleet.admin_socket),
        "LOG_SOCKET": str(fleet.log_socket),
        **(
            {
                "CERTIFICATE": str(fleet.certificate),
                "TLS_PORT": str(fleet.tls_port),
                "HTTPS_ROOT": https_root(base_url, fleet.url),
                "HSTS_SECONDS": str(front.hsts_seconds),
            }
            if front.certificate
            else {}
        ),
    }
