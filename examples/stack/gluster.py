"""The output store on a GlusterFS volume replicated over two storage
machines, as a fleet on separate machines keeps it.

Each storage machine is a network namespace (netns.Network) running a
glusterd of its own, whose working directory, logs and run folder are bound
over the system's in a mount namespace of its own, and one brick of the
volume. Every machine that reads or writes the store mounts the volume
through FUSE with a client of its own, whose packets leave from that
machine's namespace; the mounts themselves are made in this machine's
mount namespace, where the hosts, started afterwards, find them.

What the store needs of the volume (the host refuses a store where it
cannot tell, storefs.py): flock honoured across clients, which GlusterFS
does; sizes and times that every client reads as the last writer left them,
so the clients cache no attributes (attribute-timeout=0, md-cache off); a
file renamed into place whole, so nothing writes behind; and a dead storage
machine given up on within seconds (ping-timeout), not the default 42.

Needs root and Debian's glusterfs-server and glusterfs-client (installed
by `scripts/demo --store gluster`).
"""

import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

import netns as netns_module

from support.processes import stop, wait_until

VOLUME = "store"
STORAGE = ("s1", "s2")
# Seconds in which a client gives up a storage machine that stopped answering.
PING_TIMEOUT = 5
# The volume's options that the store's promises rest on.
OPTIONS = {
    # Clients cache no sizes or times: a reservation is a file's size.
    "performance.stat-prefetch": "off",
    "performance.md-cache-timeout": "0",
    # A file renamed into place is whole for every client at once.
    "performance.write-behind": "off",
    "performance.quick-read": "off",
    "performance.open-behind": "off",
    # Writes go on with either brick alone: a storage machine may die.
    "cluster.quorum-type": "none",
    # A storage machine that stops answering is given up on in seconds, so
    # that the calls waiting on it go on with the other.
    "network.ping-timeout": str(PING_TIMEOUT),
}
# How every client mounts it: no attribute or name cached in the kernel.
MOUNT_OPTIONS = "attribute-timeout=0,entry-timeout=0,negative-timeout=0"
# How old a host's count of the store may be (WEBAPP_STORE_LOOK_AGE): a
# count over the mount is a listing and a round trip per file it stats.
LOOK_AGE = 60
# How long a host's look at its folders may hang before it reads as cut off
# (WEBAPP_READY_STALE): a look at the mount waits up to twice the
# ping-timeout for a dead storage machine to be given up (10 s measured),
# longer on a busy machine, and every host's waits alike.
READY_STALE = 4 * PING_TIMEOUT
# How long a call waits for its turn to count the store's room
# (WEBAPP_STORE_RESERVE_WAIT): a turn over the mount is a dozen round trips,
# 0.2 to 2.9 s (1.5 on average) where the storage network loses 5 % of its
# packets, and each call of a burst waits for the turns before its own: 24
# calls at once, 38 s for the last.
RESERVE_WAIT = 60
STATE = {"lib": "/var/lib/glusterd", "log": "/var/log/glusterfs", "run": "/run/gluster"}


def _environ():
    # The storage's programs are none of the module's: a sanitized test
    # run's preloaded runtime stays out of them.
    return {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def available():
    """Why a GlusterFS store cannot be made here, or None when it can."""
    missing = [tool for tool in ("glusterd", "gluster", "mount.glusterfs", "nsenter") if not _which(tool)]
    if missing:
        return f"{', '.join(missing)} not found (scripts/demo --store gluster installs GlusterFS)"
    return netns_module.available()


def _which(tool):
    return shutil.which(tool, path="/usr/sbin:/sbin:/usr/bin:/bin")


class Volume:
    """The volume on the storage machines of `network` (started, with
    storage=2), its state under `folder`; `mount(machine, path)` mounts it
    for a machine (None: this one) at `path`."""

    def __init__(self, network, folder):
        self.network = network
        self.folder = Path(folder)
        self.glusterd = {}
        self.mounts = []

    def state(self, machine, name=""):
        return self.folder / machine / name

    def gluster(self, *command, machine=None, check=True):
        """A command of gluster's CLI, asked of `machine`'s glusterd (by
        default the first that runs)."""
        if machine is None:
            machine = next((m for m in STORAGE if self.glusterd[m].poll() is None), STORAGE[0])
        # In the machine's namespaces, where glusterd's socket is, and
        # where what the command starts itself (the healer's report) finds
        # it too.
        done = subprocess.run(
            ["nsenter", f"--target={self.glusterd[machine].pid}", "--net", "--mount"]
            + [_which("gluster"), "--mode=script", *command],
            capture_output=True,
            text=True,
            timeout=60,
            env=_environ(),
        )
        if check and done.returncode != 0:
            raise RuntimeError(f"gluster {' '.join(command)} failed: {(done.stdout + done.stderr).strip()}")
        return done.stdout

    def start_glusterd(self, machine):
        # A /run of its own, where its socket and its bricks' are, and its
        # own state folders bound over the system's.
        binds = "; ".join(
            ["mount -t tmpfs -o mode=0755 run /run", "mkdir -p /run/gluster"]
            + [f"mount --bind {self.state(machine, name)} {path}" for name, path in STATE.items()]
        )
        log = self.state(machine, "glusterd.out")
        with open(log, "ab") as out:
            self.glusterd[machine] = subprocess.Popen(
                [*self.network.exec_prefix(machine), "sh", "-c", f"set -e; {binds}; exec glusterd -N"],
                stdout=out,
                stderr=subprocess.STDOUT,
                start_new_session=True,
                env=_environ(),
            )
        wait_until(
            lambda: self.gluster("peer", "status", machine=machine, check=False).startswith("Number"),
            30,
            f"glusterd on {machine}",
            self.glusterd[machine],
            log,
            step=0.2,
        )

    def start(self):
        for machine in STORAGE:
            for name in (*STATE, "brick"):
                self.state(machine, name).mkdir(parents=True, exist_ok=True)
            # The hooks and option groups glusterd reads from its working directory.
            for name in ("groups", "hooks"):
                source = Path(STATE["lib"]) / name
                if source.is_dir() and not self.state(machine, f"lib/{name}").exists():
                    shutil.copytree(source, self.state(machine, f"lib/{name}"), symlinks=True)
            self.start_glusterd(machine)
        self.gluster("peer", "probe", self.network.address("s2"))
        wait_until(lambda: "Peer in Cluster (Connected)" in self.gluster("peer", "status"), 30, "the peer")
        bricks = [f"{self.network.address(m)}:{self.state(m, 'brick')}" for m in STORAGE]
        self.gluster("volume", "create", VOLUME, "replica", "2", *bricks, "force")
        for option, value in OPTIONS.items():
            self.gluster("volume", "set", VOLUME, option, value)
        self.gluster("volume", "start", VOLUME)
        wait_until(lambda: self.bricks_online() == len(STORAGE), 30, "the bricks")
        return self

    def bricks_online(self):
        status = self.gluster("volume", "status", VOLUME, "detail", check=False)
        return sum(
            line.split(":", 1)[1].strip() == "Y" for line in status.splitlines() if line.startswith("Online")
        )

    def mount(self, machine, path):
        """Mounts the volume at `path` through a client in `machine`'s
        network (None: this machine's own)."""
        path = Path(path)
        path.mkdir(parents=True, exist_ok=True)
        name = "files" if machine is None else f"host-{machine}"
        options = f"{MOUNT_OPTIONS},backup-volfile-servers={self.network.address('s2')}"
        options += f",log-file={self.folder / f'client-{name}.log'}"
        prefix = [] if machine is None else self.network.net_prefix(machine)
        source = f"{self.network.address('s1')}:/{VOLUME}"
        subprocess.run(
            [*prefix, "mount", "-t", "glusterfs", "-o", options, source, str(path)],
            check=True,
            env=_environ(),
        )
        self.mounts.append(path)
        return path

    def kill(self, machine):
        """The storage machine dies outright: its packets stop first, so no
        peer hears its connections close, then its processes are killed."""
        self.network.partition(machine)
        for pid in self.network.processes(machine):
            _kill(pid)
        self.glusterd[machine].wait(10)

    def revive(self, machine):
        """The storage machine boots again: glusterd starts its brick, and
        the volume heals what was written while it was away."""
        self.network.heal(machine)
        self.start_glusterd(machine)
        wait_until(lambda: self.bricks_online() == len(STORAGE), 60, f"{machine}'s brick")
        # The heal asked for at once, as an operator would on its return
        # (it may already be under way: no error then).
        self.gluster("volume", "heal", VOLUME, check=False)

    def unhealed(self):
        """The entries still to heal, by the volume's own count; None while
        it cannot tell."""
        info = self.gluster("volume", "heal", VOLUME, "info", "summary", check=False)
        counts = [line for line in info.splitlines() if line.strip().startswith("Total Number of entries:")]
        if len(counts) < len(STORAGE) or any("-" in line.split(":")[1] for line in counts):
            return None
        return sum(int(line.split(":")[1]) for line in counts)

    def stop(self):
        for path in reversed(self.mounts):
            clients = clients_of(path)
            if subprocess.run(["umount", str(path)], capture_output=True).returncode != 0:
                subprocess.run(["umount", "-l", str(path)], capture_output=True)
            for pid in clients:
                _kill(pid)  # a client a lazy unmount left
        self.mounts.clear()
        for machine in STORAGE:
            # glusterd's bricks and healer leave it as daemons of their own:
            # whatever runs in the machine's namespace goes.
            try:
                pids = self.network.processes(machine)
            except RuntimeError:
                pids = []  # the namespace is gone
            for pid in pids:
                _kill(pid)
            stop(self.glusterd.pop(machine, None))
        deadline = time.monotonic() + 10
        while any(self._living(m) for m in STORAGE) and time.monotonic() < deadline:
            time.sleep(0.1)
        shutil.rmtree(self.folder, ignore_errors=True)

    def _living(self, machine):
        try:
            return bool(self.network.processes(machine))
        except RuntimeError:
            return False


def _kill(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def clients_of(path):
    """The pids of the FUSE clients that serve the mount at `path`."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            command = (entry / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if b"glusterfs" in command[0] and str(path).encode() in command:
            found.append(int(entry.name))
    return found
