"""A fleet of identical application hosts behind nginx, on one machine.

Each host is a gunicorn of the example application in its own working
directory, as a separate machine would be, whose `output` is a link to the
one shared store, as a shared mount would give it. nginx listens in front,
balances the application's routes over the hosts and serves the stored audio
itself. The demo, the fleet tests and the load benchmark all start it here.

    python cluster.py --hosts 3 --folder var/fleet      # serve until Ctrl-C
"""

import argparse
import getpass
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The shared store's limits in the demo's fleet, unless the environment
# sets its own: an hour, and a GiB with the oldest going first.
STORE_LIMITS = {"WEBAPP_OUTPUT_MAX_AGE": "3600", "WEBAPP_OUTPUT_MAX_BYTES": str(1 << 30)}
SERVER_LINE = "        server 127.0.0.1:{port} max_fails=1 fail_timeout={fail_timeout};"


def nginx_binary():
    found = shutil.which("nginx") or "/usr/sbin/nginx"
    if not os.access(found, os.X_OK):
        raise RuntimeError("nginx is not installed (apt-get install nginx; scripts/setup does)")
    return found


def wait_until(ready, process, log, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{what} exited with {process.returncode}; its log ({log}):\n{log.read_text()}")
        if ready():
            return
        time.sleep(0.1)
    raise RuntimeError(f"{what} was not ready after {seconds} s; its log ({log}):\n{log.read_text()}")


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def kill_host(pid, port, seconds=10):
    """SIGKILL to a host's whole process group (master and workers), and
    returns once its port refuses connections: until the last process has
    gone, the kernel still queues connections there, to be reset."""
    os.killpg(pid, signal.SIGKILL)
    deadline = time.monotonic() + seconds
    while listening(port):
        if time.monotonic() > deadline:
            raise RuntimeError(f"port {port} still accepts connections {seconds} s after the kill")
        time.sleep(0.05)


def healthy(url):
    try:
        with urllib.request.urlopen(url, timeout=2) as response:
            return response.status == 200
    except OSError:
        return False


class Host:
    """One application host: a gunicorn master and its workers, in a
    process group of their own so that the whole host can be killed at once."""

    def __init__(self, index, port, workdir):
        self.index = index
        self.port = port
        self.workdir = workdir
        self.log = workdir / "webapp.log"
        self.name = f"{socket.gethostname()}:{port}"
        self.process = None

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/"

    def start(self, env):
        env = dict(env, WEBAPP_BIND=f"127.0.0.1:{self.port}", WEBAPP_WORKDIR=str(self.workdir),
                   WEBAPP_SERVED_BY=self.name, PROMETHEUS_MULTIPROC_DIR=str(self.workdir / "metrics"))
        self.process = subprocess.Popen(
            [sys.executable, "-m", "gunicorn", "-c", str(HERE / "gunicorn.conf.py")],
            env=env, stdout=self.log.open("ab"), stderr=subprocess.STDOUT, start_new_session=True)
        (self.workdir / "host.json").write_text(json.dumps({"pid": self.process.pid, "port": self.port}))

    def wait_ready(self, seconds=60):
        wait_until(lambda: healthy(self.url + "healthz"), self.process, self.log, seconds, f"host {self.name}")

    def pids(self):
        """The master and its workers."""
        try:
            children = Path(f"/proc/{self.process.pid}/task/{self.process.pid}/children").read_text().split()
        except OSError:
            return []
        return [self.process.pid, *map(int, children)]

    def kill(self):
        """The host fails outright: master and workers get SIGKILL at once."""
        kill_host(self.process.pid, self.port)
        self.process.wait()

    def terminate(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()  # gunicorn lets the calls in flight finish

    def wait_stopped(self, seconds=20):
        if self.process is None:
            return
        try:
            self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(self.process.pid, signal.SIGKILL)  # workers left behind
        except ProcessLookupError:
            pass
        self.process.wait()


class Fleet:
    """`hosts` application hosts on `host_ports` behind nginx on `port`, all
    under `folder`: store/ (the shared output), host-N/ (working
    directories), nginx/ (configuration, pid, logs, temporary files)."""

    def __init__(self, folder, hosts=1, port=5000, host_ports=None, env=None, fail_timeout="10s"):
        self.folder = Path(folder).resolve()
        self.port = port
        host_ports = host_ports or [port + 1 + i for i in range(hosts)]
        self.store = self.folder / "store"
        self.run = self.folder / "nginx"
        self.hosts = [Host(i + 1, p, self.folder / f"host-{i + 1}") for i, p in enumerate(host_ports)]
        self.env = dict(os.environ if env is None else env)
        self.fail_timeout = fail_timeout
        self.nginx = None

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/"

    @property
    def access_log(self):
        return self.run / "access.log"

    def lay_out(self):
        for kind in ("tts", "clone"):
            (self.store / kind).mkdir(parents=True, exist_ok=True)
        for host in self.hosts:
            host.workdir.mkdir(parents=True, exist_ok=True)
            output = host.workdir / "output"
            if output.is_symlink() or output.exists():
                if output.resolve() != self.store:
                    raise RuntimeError(f"{output} exists and is not a link to {self.store}")
            else:
                output.symlink_to(self.store, target_is_directory=True)
        for name in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            (self.run / "tmp" / name).mkdir(parents=True, exist_ok=True)
        # As root, nginx's workers would become "nobody", who may not reach
        # the store; they run as whoever started the fleet, who owns it.
        user = f"user {getpass.getuser()};" if os.geteuid() == 0 else ""
        config = (HERE / "nginx.conf.in").read_text()
        for key, value in {
            "@USER@": user,
            "@RUN@": str(self.run),
            "@STORE@": str(self.store),
            "@PORT@": str(self.port),
            "@SERVERS@": "\n".join(SERVER_LINE.format(port=h.port, fail_timeout=self.fail_timeout)
                                   for h in self.hosts),
        }.items():
            config = config.replace(key, value)
        (self.run / "nginx.conf").write_text(config)

    def start(self):
        self.lay_out()
        try:
            for host in self.hosts:
                host.start(self.env)
            for host in self.hosts:
                host.wait_ready()
            log = self.run / "nginx.out"
            self.nginx = subprocess.Popen(
                [nginx_binary(), "-p", str(self.run), "-c", str(self.run / "nginx.conf"),
                 "-e", str(self.run / "error.log")],
                stdout=log.open("ab"), stderr=subprocess.STDOUT, start_new_session=True)
            wait_until(lambda: listening(self.port), self.nginx, self.run / "error.log", 30, "nginx")
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        if self.nginx is not None and self.nginx.poll() is None:
            self.nginx.send_signal(signal.SIGQUIT)  # graceful: answers in progress finish
            try:
                self.nginx.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.nginx.pid, signal.SIGKILL)
                self.nginx.wait()
        for host in self.hosts:
            host.terminate()
        for host in self.hosts:
            host.wait_stopped()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--hosts", type=int, default=3)
    parser.add_argument("--port", type=int, default=5000, help="nginx's port; the hosts take the next ones")
    parser.add_argument("--folder", default=str(HERE / "var" / "fleet"))
    args = parser.parse_args(argv)

    stopping = []
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stopping.append(1))
    fleet = Fleet(args.folder, args.hosts, args.port, env={**STORE_LIMITS, **os.environ}).start()
    try:
        print(f"nginx on {fleet.url} (config {fleet.run / 'nginx.conf'}, log {fleet.access_log})")
        for host in fleet.hosts:
            print(f"host {host.name}: {host.url}, working directory {host.workdir}, log {host.log}")
        print(f"shared output store: {fleet.store}", flush=True)
        reported = set()
        while not stopping:
            # A host that fails is nginx's to route around; it is only told.
            for process in [fleet.nginx, *(h.process for h in fleet.hosts)]:
                if process.poll() is not None and process.pid not in reported:
                    reported.add(process.pid)
                    print(f"process {process.pid} stopped ({process.returncode})", flush=True)
            time.sleep(0.5)
    finally:
        fleet.stop()


if __name__ == "__main__":
    main()
