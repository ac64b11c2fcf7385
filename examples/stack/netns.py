"""Separate machines on one machine: each host of a fleet in a network
namespace of its own, with its own address, on TCP, behind its own firewall.

The namespaces hang off one bridge in the machine's own namespace, where the
front and nginx run; the bridge holds the front's address, so every packet a
host receives from the front comes from that one address, as it would from a
front on a machine of its own. Nothing routes past the bridge's subnet: the
hosts reach nothing but the front and, through a relay, the stand-in
services, which listen on the machine's loopback (the relay listens on each
namespace's own loopback, on the services' ports, so the services' URLs and
certificate hold unchanged). A network may also hold storage machines
(gluster.py), on the same bridge. Faults are nftables rules in a machine's
namespace: a partition drops all its packets, loss drops a share of them,
a cut drops only those to and from some addresses.

Needs root, iproute2 and nftables (scripts/setup installs them).

    python netns.py relay NAMESPACE... --ports PORT...   # what Network.start runs
"""

import argparse
import asyncio
import ctypes
import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

from support.defaults import APP_PORT
from support.processes import stop

# Addresses only on the bridges this module makes: 10.201.N.0/24, one N a
# fleet, the front at .1, host i at .(10 + i) and storage machine i at
# .(200 + i).
SUBNET = "10.201.{}.{}"
# The ports a host listens on in its namespace: its calls and its health listener.
CALLS_PORT = APP_PORT
HEALTH_PORT = APP_PORT + 1
CLONE_NEWNET = 0x40000000


def available():
    """Why namespaces cannot be made here, or None when they can."""
    if os.geteuid() != 0:
        return "network namespaces need root"
    for tool in ("ip", "nft"):
        if not shutil.which(tool, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin"):
            return f"{tool} is not installed (apt-get install {'iproute2' if tool == 'ip' else 'nftables'})"
    return None


def run(*command, input=None):
    done = subprocess.run(command, input=input, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed: {done.stderr.strip()}")
    return done.stdout


def _links():
    return run("ip", "-o", "link", "show")


class Network:
    """`hosts` namespaces on a bridge of their own, and `storage` more for
    storage machines; `start` makes them, `stop` removes every one of them.
    A machine is named by its host's index, or "s1", "s2"... for storage."""

    def __init__(self, hosts, service_ports=(), storage=0):
        self.hosts = hosts
        self.storage = storage
        self.service_ports = list(service_ports)
        self.number = None
        self.relay = None
        self.made = []  # what stop removes: ("netns", name) or ("link", name)

    def _pick(self):
        links = _links()
        for n in range(1, 251):
            if f" dvb{n}:" not in links and f" dvb{n}@" not in links:
                return n
        raise RuntimeError("no free subnet for the fleet's namespaces")

    @property
    def bridge(self):
        return f"dvb{self.number}"

    @property
    def front_address(self):
        return SUBNET.format(self.number, 1)

    def machines(self):
        return [*range(1, self.hosts + 1), *(f"s{i}" for i in range(1, self.storage + 1))]

    def address(self, machine):
        if isinstance(machine, str):
            return SUBNET.format(self.number, 200 + int(machine[1:]))
        return SUBNET.format(self.number, 10 + machine)

    def namespace(self, machine):
        return f"dorvane-{self.number}-{'h' if isinstance(machine, int) else ''}{machine}"

    def start(self):
        self.number = self._pick()
        try:
            run("ip", "link", "add", self.bridge, "type", "bridge")
            self.made.append(("link", self.bridge))
            run("ip", "addr", "add", f"{self.front_address}/24", "dev", self.bridge)
            run("ip", "link", "set", self.bridge, "up")
            for machine in self.machines():
                ns = self.namespace(machine)
                veth = f"dv{self.number}{'h' if isinstance(machine, int) else ''}{machine}"
                run("ip", "netns", "add", ns)
                self.made.append(("netns", ns))
                run("ip", "link", "add", veth, "type", "veth", "peer", "name", "eth0", "netns", ns)
                self.made.append(("link", veth))
                run("ip", "link", "set", veth, "master", self.bridge, "up")
                run("ip", "-n", ns, "addr", "add", f"{self.address(machine)}/24", "dev", "eth0")
                run("ip", "-n", ns, "link", "set", "lo", "up")
                run("ip", "-n", ns, "link", "set", "eth0", "up")
                if isinstance(machine, int):
                    self.firewall(machine)
            if self.service_ports:
                names = [self.namespace(i) for i in range(1, self.hosts + 1)]
                self.relay = subprocess.Popen(
                    [
                        sys.executable,
                        str(Path(__file__).resolve()),
                        "relay",
                        *names,
                        "--ports",
                        *map(str, self.service_ports),
                    ],
                    stdout=subprocess.PIPE,
                    start_new_session=True,
                )
                if self.relay.stdout.readline().strip() != b"ready":
                    raise RuntimeError("the relay to the stand-in did not start")
        except BaseException:
            self.stop()
            raise
        return self

    def nft(self, machine, script):
        run("ip", "netns", "exec", self.namespace(machine), "nft", "-f", "-", input=script)

    def firewall(self, i):
        """The hosts' rule: their ports answer the front's address and
        nobody else's."""
        self.nft(
            i,
            f"""
table inet webapp {{
    chain input {{
        type filter hook input priority 0;
        tcp dport {{ {CALLS_PORT}, {HEALTH_PORT} }} ip saddr {self.front_address} accept
        tcp dport {{ {CALLS_PORT}, {HEALTH_PORT} }} drop
    }}
}}
""",
        )

    def fault(self, machine, rule, incoming=None):
        """Every packet out of `machine`'s namespace meets `rule`, and every
        packet into it `incoming` (default: the same rule); None: no fault."""
        script = "table inet faults\ndelete table inet faults\n"
        if rule:
            script += f"""
table inet faults {{
    chain input {{ type filter hook input priority -10; iifname "eth0" {incoming or rule}; }}
    chain output {{ type filter hook output priority -10; oifname "eth0" {rule}; }}
}}
"""
        self.nft(machine, script)

    def partition(self, machine):
        self.fault(machine, "drop")

    def loss(self, machine, percent):
        self.fault(machine, f"numgen random mod 100 < {int(percent)} drop")

    def cut(self, machine, peers):
        """`machine` loses its packets to and from the machines `peers`
        alone."""
        addresses = ", ".join(self.address(peer) for peer in peers)
        self.fault(machine, f"ip daddr {{ {addresses} }} drop", f"ip saddr {{ {addresses} }} drop")

    def heal(self, machine):
        self.fault(machine, None)

    def exec_prefix(self, machine):
        return ["ip", "netns", "exec", self.namespace(machine)]

    def net_prefix(self, machine):
        """A command in `machine`'s network alone, in this machine's mounts:
        what it mounts there, every process here sees."""
        return ["nsenter", f"--net=/run/netns/{self.namespace(machine)}"]

    def processes(self, machine):
        """The pids of the processes in `machine`'s namespace."""
        return [int(pid) for pid in run("ip", "netns", "pids", self.namespace(machine)).split()]

    def stop(self):
        stop(self.relay)
        for kind, name in reversed(self.made):
            # A veth goes with its namespace; a link already gone is fine.
            command = ["ip", "netns", "del", name] if kind == "netns" else ["ip", "link", "del", name]
            subprocess.run(command, capture_output=True)
        self.made.clear()


def listen_in(namespace, port):
    """A socket listening on 127.0.0.1:`port` inside `namespace`: made by
    this thread while it stands in that namespace, it stays there after the
    thread has come back to its own."""
    import socket

    libc = ctypes.CDLL(None, use_errno=True)
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    other = os.open(f"/run/netns/{namespace}", os.O_RDONLY)
    try:
        if libc.setns(other, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), f"setns into {namespace}")
        try:
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(("127.0.0.1", port))
            sock.listen(1024)
            sock.setblocking(False)
            return sock
        finally:
            if libc.setns(own, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns back")
    finally:
        os.close(own)
        os.close(other)


async def _pipe(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except OSError:
        pass
    finally:
        writer.close()


async def _relay(namespaces, ports):
    async def forward(port, reader, writer):
        try:
            upstream_reader, upstream_writer = await asyncio.open_connection("127.0.0.1", port)
        except OSError:
            writer.close()
            return
        await asyncio.gather(_pipe(reader, upstream_writer), _pipe(upstream_reader, writer))

    for namespace in namespaces:
        for port in ports:
            await asyncio.start_server(
                lambda r, w, port=port: forward(port, r, w), sock=listen_in(namespace, port)
            )
    print("ready", flush=True)
    await asyncio.Event().wait()


def main(argv=None):
    parser = argparse.ArgumentParser(description="relay the loopback services into namespaces")
    parser.add_argument("command", choices=["relay"])
    parser.add_argument("namespaces", nargs="+")
    parser.add_argument("--ports", type=int, nargs="+", required=True)
    args = parser.parse_args(argv)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    asyncio.run(_relay(args.namespaces, args.ports))


if __name__ == "__main__":
    main()
