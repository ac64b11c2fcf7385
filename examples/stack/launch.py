"""Starts the whole stack on one machine: the stand-in speech services, the
example application's hosts (examples/webapp: one on a loopback port, or N
behind the front, fleet.py) and the module they import, copied from this
environment into the application's own folder. The demo runs it; the
end-to-end tests and the load benchmark start their stacks through the same
classes.

    python launch.py                     # one host on port 5000; serve until Ctrl-C
    python launch.py --hosts 3 --check   # three hosts behind the front; one round trip, then stop
    python launch.py --hosts 3 --netns   # each host in a network namespace of its own, on TCP (root)
    python launch.py --hosts 3 --netns --store gluster   # the store on GlusterFS over two storage machines
    python launch.py --hosts 3 --tls     # HTTPS at the front, with the demo's own certificate authority
    python launch.py --install-only      # only the module and its placeholder layout, in site/
"""

import argparse
import dataclasses
import os
import signal
import sys
import time
from pathlib import Path

import gluster
import roundtrip
from fleet import Fleet
from front import Front, address_text
from host_process import Host
from standin_process import DemoCertificates, StandIn, standin_environ

from support import HOST, STACK
from support.defaults import APP_PORT, SPEECH_PORT, TLS_PORT, TRANSCRIPTION_PORT
from support.installation import install
from support.processes import free_port, listening


class Stack:
    """The stand-in and the application, under `folder`: with one host, a
    gunicorn on `port` whose working directory is `folder` itself
    (webapp.log, output/); with more, a fleet behind the front on `port`
    in `folder`/fleet. The stand-in's state and log are `folder`/standin
    and `folder`/standin.log. `env` is the hosts' environment (default:
    this process's); the stand-in's URLs and CA are added to it. With
    `netns`, a fleet's hosts run in network namespaces of their own
    (fleet.Fleet), with the stand-in relayed into them. With `tls_port`,
    the fleet's front speaks HTTPS there, with the certificate its settings
    name (FRONT_CERTIFICATE) or else one of the demo's own authority
    (`ca_path`, in `folder`/tls), and plain HTTP on `port` sends clients
    there. `store` is the fleet's (fleet.Fleet)."""

    def __init__(
        self,
        folder,
        hosts=1,
        port=None,
        speech_port=None,
        transcription_port=None,
        env=None,
        front=None,
        netns=False,
        tls_port=None,
        store="local",
    ):
        self.folder = Path(folder).resolve()
        self.port = port or free_port()
        self.standin = StandIn(
            self.folder / "standin", speech_port, transcription_port, log=self.folder / "standin.log"
        )
        self.env = dict(os.environ if env is None else env, **standin_environ(self.standin))
        self.certificates = None
        if tls_port:
            front = front or Front.from_environ()
            if not front.certificate:
                self.certificates = DemoCertificates(self.folder / "tls")
                front = dataclasses.replace(front, certificate=str(self.certificates.path))
            self.env.setdefault("WEBAPP_BASE_URL", f"https://127.0.0.1:{tls_port}/")
        self.env.setdefault("WEBAPP_BASE_URL", f"http://127.0.0.1:{self.port}/")
        self.host = self.fleet = None
        if hosts == 1:
            # Alone, its log is bounded as a fleet's logs are (FRONT_LOG_*).
            limits = front or Front.from_environ()
            self.host = Host(
                1, self.folder, port=self.port, log_bound=(limits.log_max_bytes, limits.log_files)
            )
        else:
            self.fleet = Fleet(
                self.folder / "fleet",
                hosts,
                self.port,
                self.env,
                front,
                netns=netns,
                service_ports=(self.standin.speech_port, self.standin.transcription_port),
                tls_port=tls_port,
                store=store,
            )

    @property
    def base_url(self):
        return self.env["WEBAPP_BASE_URL"]

    @property
    def ca_path(self):
        """The authority the front's certificate is checked against: the
        demo's own, or None for the system's."""
        return self.certificates.ca_path if self.certificates else None

    @property
    def workdir(self):
        """The single host's working directory, which holds its output/."""
        return self.host.workdir

    def processes(self):
        """Those whose end stops the stack, by name; a fleet's hosts are the
        front's to route around."""
        if self.host:
            return {"the stand-in": self.standin.process, "the host": self.host.process}
        return {
            "the stand-in": self.standin.process,
            "the front": self.fleet.haproxy,
            "nginx": self.fleet.nginx,
        }

    def start(self):
        self.folder.mkdir(parents=True, exist_ok=True)
        try:
            self.standin.start()
            if self.host:
                self.host.start(self.env).wait_ready()
            else:
                self.fleet.start()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        if self.host:
            self.host.terminate()
            self.host.wait_stopped()
        else:
            self.fleet.stop()
        self.standin.stop()

    def logs(self):
        """Every log of the stack, for a failure's message."""
        logs = sorted(self.folder.glob("*.log")) + sorted(self.folder.glob("fleet/host-*/webapp.log"))
        return "\n".join(f"--- {path}\n{path.read_text(errors='replace')}" for path in logs)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def describe(self):
        print(
            f"stand-in: {self.standin.speech_url} (speech), {self.standin.transcription_url} (transcription); "
            f"CA {self.standin.ca_path}, log {self.standin.log}"
        )
        if self.host:
            print(
                f"application on {self.base_url} (log {self.host.log}, audio {self.host.workdir / 'output'})"
            )
            return
        fleet = self.fleet
        print(
            f"front (HAProxy) on {fleet.url} (config {STACK / 'haproxy.cfg'} with its hosts in "
            f"{fleet.servers_cfg}, log {fleet.access_log}, control socket {fleet.admin_socket})"
        )
        if fleet.front.certificate:
            print(
                f"HTTPS with the certificate {fleet.front.certificate}"
                + (f" of the demo's authority {self.ca_path}" if self.ca_path else "")
                + f"; plain HTTP on port {fleet.port} is sent there (308)"
            )
        print(
            f"limits: {fleet.front}; calls per host: {fleet.calls_per_host}, each within {fleet.call_timeout} s "
            f"and with a body of at most {fleet.body_max} bytes"
        )
        for host in fleet.hosts:
            where = address_text(host.address)
            if host.network is not None:
                where += f" in network namespace {host.network.namespace(host.index)}"
            print(
                f"host {host.name}: {where}, health on {host.health}, working directory {host.workdir}, "
                f"log {host.log}"
            )
        print(f"shared output store: {fleet.store}, served by nginx (config {fleet.run / 'nginx.conf'})")
        if fleet.volume is not None:
            storage = ", ".join(f"{m} at {fleet.network.address(m)}" for m in gluster.STORAGE)
            print(
                f"the store is the GlusterFS volume {gluster.VOLUME!r} replicated over {storage}, "
                f"mounted for each host at {fleet.runtime / 'mounts'}/host-N"
            )
        print(f"runtime folder (the store and the sockets): {fleet.runtime}, removed at stop")


def serve(stack):
    """Until SIGINT or SIGTERM, or until a process the stack needs stops;
    a fleet's host that stops is the supervisor's to restart, and it says
    so. Returns the exit status, a shell's for a signal."""
    stopping = []
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda number, _: stopping.append(128 + number))
    while not stopping:
        for name, process in stack.processes().items():
            if process.poll() is not None:
                print(
                    f"{name} stopped on its own ({process.returncode}); see the logs above", file=sys.stderr
                )
                return 1
        time.sleep(0.5)
    return stopping[0]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--hosts", type=int, default=1, help="application hosts; more than one: behind the front"
    )
    parser.add_argument(
        "--netns",
        action="store_true",
        help="each host in a network namespace of its own, on TCP behind a firewall (needs root)",
    )
    parser.add_argument(
        "--store",
        choices=["local", "gluster"],
        default="local",
        help="the output store: a folder of this machine's, or with --netns a GlusterFS volume "
        "replicated over two storage machines (needs Debian's glusterfs-server and -client)",
    )
    parser.add_argument(
        "--check", action="store_true", help="stop after the round trip; the status says how it went"
    )
    parser.add_argument("--folder", default=str(STACK / "var"), help="logs, the stand-in's state, the output")
    parser.add_argument(
        "--site",
        default=str(HOST / "site"),
        help="where the module is copied to (default: where the host looks by default)",
    )
    parser.add_argument("--install-only", action="store_true", help="copy the module into --site, and stop")
    parser.add_argument(
        "--tls",
        action="store_true",
        help="HTTPS at the front, on --tls-port, with the certificate FRONT_CERTIFICATE names "
        "or one of the demo's own authority; plain HTTP on --port sends clients there",
    )
    parser.add_argument("--port", type=int, default=APP_PORT, help="the application's (or the front's) port")
    parser.add_argument("--tls-port", type=int, default=TLS_PORT, help="the front's HTTPS port, with --tls")
    parser.add_argument("--speech-port", type=int, default=SPEECH_PORT)
    parser.add_argument("--transcription-port", type=int, default=TRANSCRIPTION_PORT)
    args = parser.parse_args(argv)
    if args.hosts < 1:
        parser.error("--hosts is at least 1")
    if args.tls and args.hosts < 2:
        parser.error("--tls needs --hosts 2 or more: the front speaks HTTPS")

    site = install(args.site)
    print(f"module: {next(site.glob('dorvane*.so'))}, with its placeholder layout", flush=True)
    if args.install_only:
        return 0
    # The fleet's hosts listen on unix sockets in its folder: only these ports are taken.
    for port in (
        args.speech_port,
        args.transcription_port,
        args.port,
        *([args.tls_port] if args.tls else []),
    ):
        if listening(port):
            print(
                f"port {port} is in use; stop what listens there (an earlier demo?) and try again",
                file=sys.stderr,
            )
            return 1

    env = {**os.environ, "WEBAPP_DORVANE_HOME": str(site)}
    if args.netns and args.hosts < 2:
        parser.error("--netns needs --hosts 2 or more")
    if args.store == "gluster" and not args.netns:
        parser.error("--store gluster needs --netns: the store's clients are separate machines")
    if args.store == "gluster" and (missing := gluster.available()):
        print(f"no GlusterFS store here: {missing}", file=sys.stderr)
        return 1
    stack = Stack(
        args.folder,
        args.hosts,
        args.port,
        args.speech_port,
        args.transcription_port,
        env,
        netns=args.netns,
        tls_port=args.tls_port if args.tls else None,
        store=args.store,
    )
    # Ctrl-C while starting stops what has started (Stack.start), as later.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        stack.start()
        stack.describe()
        print("\n== One text-to-speech round trip through the application (about ten seconds)", flush=True)
        roundtrip.show(stack.base_url, stack.ca_path)
        if args.check:
            print("\ndemo check passed")
            return 0
        print(f"\nThe page: {stack.base_url}")
        if stack.ca_path:
            print(f"From a shell: curl --cacert {stack.ca_path} {stack.base_url}")
        print("Ctrl-C stops the application and the stand-in.", flush=True)
        return serve(stack)
    except KeyboardInterrupt:
        return 130
    finally:
        print("stopping", flush=True)
        stack.stop()


if __name__ == "__main__":
    sys.exit(main())
