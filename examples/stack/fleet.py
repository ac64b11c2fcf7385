"""A fleet of identical application hosts behind one front, on one machine.

Each host is a gunicorn of the example application in its own working
directory, as a separate machine would be, whose `output` is a link to the
one shared store, as a shared mount would give it. HAProxy is the front
(haproxy.cfg, front.py): the one address clients reach, with per-client
limits, a queue within each host's capacity and active health checks; it
hands the audio links to nginx (nginx.conf.in), which serves them from the
store. The hosts and nginx listen on unix sockets in a folder only the
fleet's user and the front may enter, so nothing reaches them past the
front. Started as root, the fleet runs HAProxy as an unprivileged user of
its own (front_user).

With `store="gluster"` (on separate machines only), the store is a
GlusterFS volume replicated over two storage machines of its own
(gluster.py), which every host and nginx mount with clients of their own.

The store and the sockets are in the fleet's runtime folder, a new one under
the system's temporary folder, removed when it stops: started as root,
nginx's workers run unprivileged and must pass through to the store, which
root's own folders (mode 0700) forbid. The demo, the fleet tests and the
load benchmark all start it through launch.py:

    python launch.py --hosts 3      # with the stand-in; serve until Ctrl-C
"""

import csv
import dataclasses
import io
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
from pathlib import Path

import front as front_module
import gluster
import leftovers
import netns as netns_module
from host_process import Host
from layout import Layout
from supervisor import Supervisor
from webapp import serving

from support import STACK
from support.defaults import APP_PORT
from support.processes import listening, start, stop, wait_until


class Fleet(Layout):
    """`hosts` application hosts behind the front on `port`, under `folder`:
    host-N/ (working directories), front/ (the front's configuration and
    log), nginx/ (configuration, pid, logs, temporary files); and in its
    runtime folder (`runtime`): store/ (the shared output) and sockets/ (the
    hosts', nginx's and the front's control socket). `front` holds the
    front's limits (default: `Front.from_environ()`). The hosts' links point
    at the front (WEBAPP_BASE_URL) unless `env` names another root.

    With `netns`, each host runs in a network namespace of its own
    (netns.Network, `network`), on TCP; `service_ports` are the loopback
    ports of the services the hosts call, relayed into each namespace.
    `store` is "local" (a folder of this machine's) or, with `netns`,
    "gluster" (`volume`, a gluster.Volume). `store_size`, in bytes, puts
    the store on a file system of its own of that size (a tmpfs; as root),
    as a small disk would hold it. `watchdog` is the supervisor's."""

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
        store="local",
        store_size=None,
    ):
        if store not in ("local", "gluster"):
            raise ValueError(f"no store of the kind {store!r}: local or gluster")
        if store == "gluster" and not netns:
            raise ValueError("a store on GlusterFS needs the hosts on machines of their own (netns)")
        self.folder = Path(folder).resolve()
        self.port = port
        leftovers.remove_dead()
        self.runtime = Path(tempfile.mkdtemp(prefix=leftovers.PREFIX))
        leftovers.mark(self.runtime)
        self.store = self.runtime / "store"
        self.sockets = self.runtime / "sockets"
        self.run = self.folder / "nginx"
        self.front_dir = self.folder / "front"
        # What HAProxy itself reads and makes, which it may reach however
        # unprivileged it runs: its hosts' list, its certificate, its
        # control socket.
        self.front_run = self.runtime / "front"
        storage = len(gluster.STORAGE) if store == "gluster" else 0
        self.network = netns_module.Network(hosts, service_ports, storage) if netns else None
        self.store_kind = store
        self.store_size = store_size
        self.volume = None
        self.front = front or front_module.Front.from_environ()
        self.log_bound = (self.front.log_max_bytes, self.front.log_files)
        self.hosts = [
            Host(
                i + 1,
                self.folder / f"host-{i + 1}",
                self.sockets / f"host-{i + 1}.sock",
                network=self.network,
                log_bound=self.log_bound,
            )
            for i in range(hosts)
        ]
        self.env = dict(os.environ if env is None else env)
        self.tls_port = tls_port
        if self.front.certificate and not tls_port:
            raise ValueError("a front with a certificate needs its HTTPS port (tls_port)")
        self.env.setdefault("WEBAPP_BASE_URL", self.url)
        if store == "gluster":
            self.env.setdefault("WEBAPP_STORE_LOOK_AGE", str(gluster.LOOK_AGE))
            self.env.setdefault("WEBAPP_READY_STALE", str(gluster.READY_STALE))
            self.env.setdefault("WEBAPP_STORE_RESERVE_WAIT", str(gluster.RESERVE_WAIT))
        # The hosts believe the client's address from the front's user alone.
        if (user := self.front_user()) is not None:
            self.env.setdefault("WEBAPP_FORWARDED_ALLOW_UIDS", str(user[0]))
        # The hosts' server settings, set for them explicitly: the front's
        # room for a host follows from them.
        self.server = serving.Server.from_environ(self.env)
        for name in ("worker_class", "workers", "worker_connections", "threads", "call_timeout"):
            self.env[f"WEBAPP_{name.upper()}"] = str(getattr(self.server, name))
        # The front's bounds are the hosts' own, unless it is given others.
        self.call_timeout = self.front.call_timeout or self.server.call_timeout
        self.body_max = self.front.body_max or front_module.host_body_max(self.env)
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

    @property
    def front_ports(self):
        return [self.port, self.tls_port] if self.front.certificate else [self.port]

    @property
    def access_log(self):
        """The front's log: one line per request, with the host it went to."""
        return self.front_dir / "access.log"

    @property
    def nginx_log(self):
        """nginx's errors, through a log sink of their own."""
        return self.run / "error.log"

    @property
    def admin_socket(self):
        return self.front_run / "admin.sock"

    @property
    def servers_cfg(self):
        return self.front_run / "servers.cfg"

    @property
    def certificate(self):
        """The front's certificate, as HAProxy reads it: a copy of the one
        its settings name, which its own user may read."""
        return self.front_run / "certificate.pem"

    def front_user(self):
        """(uid, gid) HAProxy runs as: started as root, the system's haproxy
        user (nobody where there is none), so that no HAProxy process is
        root's; else None, this user's own."""
        if os.geteuid() != 0:
            return None
        try:
            user = pwd.getpwnam("haproxy")
        except KeyError:
            user = pwd.getpwnam("nobody")
        return user.pw_uid, user.pw_gid

    def copy_certificate(self):
        if self.front.certificate:
            shutil.copyfile(self.front.certificate, self.certificate)
            if (user := self.front_user()) is not None:
                os.chown(self.certificate, *user)
            self.certificate.chmod(0o600)

    @property
    def log_socket(self):
        """Where the front's log ring hands its lines to the log's sink."""
        return self.sockets / "log.sock"

    @property
    def nginx_socket(self):
        return self.sockets / "nginx.sock"

    def host_calls(self):
        """Calls in flight per host: the setting, or what its CPU serves."""
        if self.front.host_calls > 0:
            return self.front.host_calls
        return front_module.calls_in_flight(
            dataclasses.asdict(self.server), self.front.worker_rate, self.front.call_seconds
        )

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
                    front_module.nginx_binary(),
                    *("-p", str(self.run), "-c", str(self.run / "nginx.conf")),
                    *("-e", "stderr"),
                ],
                self.nginx_log,
                log_bound=self.log_bound,
            )
            wait_until(
                lambda: listening(self.nginx_socket),
                30,
                "nginx",
                self.nginx,
                self.nginx_log,
                step=0.1,
            )
            # -db: in the foreground, its log on stdout, its complaints on
            # stderr; -W: a master that reloads its worker on SIGUSR2.
            errors = self.front_dir / "haproxy.err"
            user = self.front_user()
            self.haproxy = start(
                [
                    front_module.haproxy_binary(),
                    *("-W", "-db", "-f", str(STACK / "haproxy.cfg")),
                    *("-f", str(self.servers_cfg)),
                ],
                self.access_log,
                errors,
                log_bound=self.log_bound,
                log_socket=self.log_socket,
                env=front_module.haproxy_environ(self),
                # A folder its user may be in, whatever the launcher's is.
                cwd=self.front_run,
                **({} if user is None else {"user": user[0], "group": user[1], "extra_groups": []}),
                preexec_fn=lambda: front_module.open_files(2 * self.front.max_connections + 1024),
            )
            address = "127.0.0.1" if self.front.address == "0.0.0.0" else self.front.address
            wait_until(
                lambda: all(listening((address, p)) for p in self.front_ports),
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
        """The front reads its configuration and certificate again, as
        HAProxy's master reloads: a new worker takes over the listening
        sockets, and the old one ends once its calls have. Returns once the
        new worker answers; one that cannot read its files leaves the old
        worker serving, and raises here."""
        old = self.front_pid()
        self.copy_certificate()
        self.haproxy.send_signal(signal.SIGUSR2)
        wait_until(
            lambda: self.front_pid() not in (None, old),
            seconds,
            "the front's reload",
            self.haproxy,
            self.front_dir / "haproxy.err",
            step=0.1,
        )

    def front_stats(self):
        """(proxy, server) -> the front's counters of it, by their names in
        "show stat" ("FRONTEND" and "BACKEND" for the proxies' own rows)."""
        rows = csv.DictReader(io.StringIO(self.front_command("show stat").lstrip("# ")))
        return {(row["pxname"], row["svname"]): row for row in rows}

    def host_states(self):
        """host's name at the front -> "UP", "DOWN" ... by the front's checks."""
        return {
            server: row["status"].split()[0]
            for (proxy, server), row in self.front_stats().items()
            if proxy == "hosts" and server.startswith("host-")
        }

    def stop(self):
        self.supervisor.stop()
        stop(self.haproxy, signal.SIGUSR1)  # graceful: answers in progress finish
        stop(self.nginx, signal.SIGQUIT)
        for host in self.hosts:
            host.terminate()
        for host in self.hosts:
            host.wait_stopped()
        if self.volume is not None:
            self.volume.stop()
        if self.network is not None:
            self.network.stop()
        if self.store_size and os.path.ismount(self.store):
            subprocess.run(["umount", "--lazy", self.store], check=False)
        shutil.rmtree(self.runtime, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
