"""Keeps a fleet's hosts running, as systemd keeps a service with
Restart=on-failure and WatchdogSec.

A host that exits is started again after a back-off (`first_delay`, doubled
for each restart within the last minute, at most `longest_delay`); one that
makes no progress is killed, to be restarted the same way, so that its calls
end at once and the front tries elsewhere those it never read.

Progress is the host's liveness (/livez on its own unix socket, as a
supervisor on the host's machine would ask: a host cut off from the network
is not hung), and, while that fails, the CPU time and state of its workers'
event-loop threads (`progress`). Once it had passed, a host whose liveness
fails is killed
- after `watchdog` seconds in which its loops used no CPU time and none was
  waiting for a CPU or the disk: stopped (SIGSTOP) or deadlocked;
- after `patience` seconds whatever else: a loop that computes but turns no
  more.
A host that answers late on a machine with more work than its cores still
uses CPU time: it is busy, not dead, and killing it would move its load onto
the others and make a busy machine a restart loop. A host that never passed,
starting, gets `startup` seconds.
"""

import collections
import signal
import sys
import threading
import time
from pathlib import Path

from support.processes import children, signal_group

# States in which a process still moves without using CPU time: waiting for
# a CPU (R) or for the disk (D).
WAITING = frozenset("RD")
# Where in the kernel a thread waits for a FUSE file system's answer (a
# network mount such as GlusterFS's): a wait for the disk, which the kernel
# shows as S. A loop held there while its storage gives up a dead machine is
# not hung.
FUSE_WAITS = ("request_wait_answer", "fuse_")


def thread_state(pid, proc=Path("/proc")):
    """(state, CPU ticks) of the main thread of `pid`, a wait on a FUSE
    answer told as the disk's (D); raises OSError once it has gone."""
    task = proc / str(pid) / "task" / str(pid)
    fields = (task / "stat").read_text().rsplit(")", 1)[1].split()
    state = fields[0]
    if state == "S":
        try:
            if (task / "wchan").read_text().startswith(FUSE_WAITS):
                state = "D"
        except OSError:
            pass  # a kernel that does not tell
    return state, int(fields[11]) + int(fields[12])  # utime, stime


def progress(pid):
    """(CPU ticks, states) of the main threads of the workers of the host
    whose master is `pid` (of the master's alone while it has none); None
    once it has gone. The probes' own threads are not counted: a deadlocked
    host still answers them."""
    try:
        pids = children(pid) or [pid]
    except OSError:
        return None
    ticks, states = 0, set()
    for each in pids:
        try:
            state, used = thread_state(each)
        except OSError:
            continue  # gone since the listing
        states.add(state)
        ticks += used
    return ticks, states


def moving(marks, ticks):
    """Whether workers whose `progress` is `marks` moved since they had used
    `ticks`: they used CPU time since, or one waits for a CPU or the disk.
    A stopped (T) or deadlocked (S) host that uses none did not."""
    return marks is not None and (marks[0] != ticks or bool(marks[1] & WAITING))


class Supervisor:
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
        # The fleet hands over hosts it has seen ready: one that hangs at once
        # gets the watchdog's time, not the start-up's.
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
            if moving(marks, ticks):
                moved, ticks = time.monotonic(), marks[0]
            why = self.verdict(time.monotonic(), started, answered, moved)
            if why is not None:
                self.note(host, why)
                signal_group(process.pid, signal.SIGKILL)  # its exit is the next look's to restart
