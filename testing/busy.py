"""A busy machine, as a fleet meets one in the field, and what the fleet
must do on it: more runnable processes than cores (busy loops at normal
priority), a disk kept busy with large writes, and a store of many files,
under which a fleet at steady load within its capacity kills no live host,
takes none out at the front, serves every call, and still kills and
replaces a host that really hangs. The busy-machine benchmark
(bench/busy.py) and its test share it.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from support.processes import finish

HOG = "while True: pass"
# Rewrites one file of `file_mib` in `chunk_mib` pieces, each pushed to the
# disk before the next, over and over: the disk stays busy and the space
# used stays bounded.
WRITER = """
import os, sys
path, chunk, count = sys.argv[1], int(sys.argv[2]) << 20, int(sys.argv[3])
block = os.urandom(chunk)
while True:
    with open(path, "wb") as out:
        for _ in range(count):
            out.write(block)
            out.flush()
            os.fsync(out.fileno())
    os.unlink(path)
"""


class Busy:
    """`hogs` busy loops and `writers` processes rewriting `file_mib` each,
    in a temporary folder under `folder`; all ended and removed on exit."""

    def __init__(self, hogs=None, writers=1, file_mib=512, chunk_mib=16, folder=None):
        self.hogs = 3 * os.cpu_count() if hogs is None else hogs
        self.writers, self.file_mib, self.chunk_mib = writers, file_mib, chunk_mib
        self.parent = folder
        self.processes, self.folder = [], None

    def __enter__(self):
        self.folder = Path(tempfile.mkdtemp(prefix="dorvane-busy-", dir=self.parent))
        try:
            for _ in range(self.hogs):
                self.processes.append(subprocess.Popen([sys.executable, "-c", HOG], start_new_session=True))
            for i in range(self.writers):
                count = max(1, self.file_mib // self.chunk_mib)
                command = [
                    sys.executable,
                    "-c",
                    WRITER,
                    str(self.folder / f"w{i}"),
                    str(self.chunk_mib),
                    str(count),
                ]
                self.processes.append(subprocess.Popen(command, start_new_session=True))
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        for process in self.processes:
            finish(process, seconds=0)  # killed with its group at once
        self.processes = []
        shutil.rmtree(self.folder, ignore_errors=True)


def fill(folder, count):
    """`count` empty files in `folder`, as a store of so many answers holds."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for i in range(count):
        os.close(os.open(folder / f"filler-{i:06d}.wav", os.O_WRONLY | os.O_CREAT, 0o644))


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


class Probes:
    """Asks `paths` of every host's health listener every `every` seconds,
    as the front and the supervisor do: seconds of each answer, by path,
    and the answers that failed (not 200, or none within `timeout`)."""

    def __init__(self, hosts, paths, every=0.2, timeout=5):
        self.hosts, self.paths, self.every, self.timeout = hosts, paths, every, timeout
        self.seconds = {path: [] for path in paths}
        self.failed = {path: 0 for path in paths}
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.done.wait(self.every):
            for host in self.hosts:
                for path in self.paths:
                    started = time.perf_counter()
                    try:
                        ok = host.get(path, self.timeout)[0] == 200
                    except OSError:
                        ok = False
                    self.seconds[path].append(time.perf_counter() - started)
                    self.failed[path] += not ok

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()


def burst(post, count, label):
    """`count` calls of `post(call_id)` at once, each on a thread of its own;
    their outcomes once all have ended."""
    outcomes = []
    threads = [
        threading.Thread(target=lambda i=i: outcomes.append(post(f"{label}-{i}")), daemon=True)
        for i in range(count)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(180)
    return outcomes


def steady(post, rate, seconds):
    """Calls `post(call_id)` `rate` times a second for `seconds`, each on a
    thread of its own; their outcomes once all have ended."""
    threads, outcomes = [], []
    started = time.monotonic()
    for i in range(int(rate * seconds)):
        time.sleep(max(0.0, started + i / rate - time.monotonic()))
        thread = threading.Thread(target=lambda i=i: outcomes.append(post(f"steady-{i}")), daemon=True)
        thread.start()
        threads.append(thread)
    for thread in threads:
        thread.join(180)
    return outcomes


def downs(fleet):
    """Times the front has taken each host out (its checks' UP to DOWN)."""
    return {
        server: int(row["chkdown"] or 0)
        for (proxy, server), row in fleet.front_stats().items()
        if proxy == "health" and server.startswith("host-")
    }


def hang(fleet, calls, host, seconds=60):
    """SIGSTOPs `host`, and a second later sends `calls(label)` through the
    front: (the calls' outcomes, their seconds, seconds from the hang until
    the host was killed, and until it served again: ready and in at the
    front; either None when it was not within `seconds`)."""
    hung = time.monotonic()
    host.signal(signal.SIGSTOP)
    try:
        time.sleep(1)
        started = time.monotonic()
        outcomes = calls("after-hang")
        took = time.monotonic() - started
        kill = back = None
        while time.monotonic() - hung < seconds and back is None:
            kills = [
                t
                for t, name, what in fleet.supervisor.events
                if t > hung and name == host.server and "killed" in what
            ]
            kill = kills[0] - hung if kills else None
            if kill is not None and host.healthy() and fleet.host_states().get(host.server) == "UP":
                back = time.monotonic() - hung
            time.sleep(0.1)
    finally:
        try:
            host.signal(signal.SIGCONT)
        except ProcessLookupError:
            pass
    return outcomes, took, kill, back
