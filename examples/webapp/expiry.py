"""Expiry of output files over the shared store, by age and by the store's
size, by one sweeper at a time.

Every worker of every host sweeps on its own timer, and around each call
that writes output when its estimate of the store's size, with room for the
calls in flight, passes the cap. A flock on a file in the store lets one of
them sweep at a time (the timers skip their turn when it is taken), so no
coordinator is needed and losing any host loses nothing.

Two kinds of file are never removed: the writers' partial downloads (hidden
names) unless their writer is long dead, and a file that a reader is
sending, which holds a shared flock on it for as long as it sends.
"""

import contextlib
import fcntl
import logging
import os
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import offload
from locks import try_lock

log = logging.getLogger("webapp.expiry")

LOCK_NAME = ".expiry.lock"
# Hidden files are the writers' partial downloads. One still this old
# belongs to a writer that died (a killed host): no call waits that long.
STALE_PART_AGE = 6 * 3600
# Over its cap the store is trimmed to this share of it, so that a flood
# does not make every call that follows sweep again.
LOW_WATER = 0.9
# The share of the cap that a worker's calls in flight may take; the rest
# keeps the files already handed out, whose links clients are fetching.
IN_FLIGHT_SHARE = 0.5
# How long a call waits for another's sweep before it goes on without its
# own; a sweep of a full store takes milliseconds.
SWEEP_WAIT = 2.0
# A worker's estimate counts only its own writes; it looks at the store
# itself when its last look is older than this, which bounds what the other
# writers may add unseen.
RESCAN_AFTER = 5.0
# Seconds between the timed sweeps.
INTERVAL = 60.0


@dataclass
class Swept:
    removed: list = field(default_factory=list)
    remaining: int = 0  # bytes left in the folders, partial downloads included


def _files(store, folders):
    """(entry, stat) of every regular file in `folders` under `store`."""
    for folder in folders:
        try:
            entries = list(os.scandir(store / folder))
        except OSError:
            continue  # not there (yet), or not a folder: nothing of ours
        for entry in entries:
            try:
                if entry.is_file(follow_symlinks=False):
                    yield entry, entry.stat(follow_symlinks=False)
            except FileNotFoundError:
                continue  # gone since the listing


def store_bytes(store, folders):
    """The bytes in `folders` under `store`, without taking the sweep."""
    return sum(stat.st_size for _, stat in _files(Path(store), folders))


def hold_for_reading(path):
    """An open descriptor on `path` holding the shared lock that keeps the
    sweep off it until closed; raises FileNotFoundError when it is gone."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        fcntl.flock(fd, fcntl.LOCK_SH)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _remove(entry):
    """Removes the file unless a reader holds it. Names are unique (the
    writers make each one afresh), so the name removed is the file looked at."""
    try:
        fd = os.open(entry.path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        return False  # gone (another sweep took it) or no longer a plain file
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False  # being sent
        os.unlink(entry.path)
        return True
    except FileNotFoundError:
        return False
    finally:
        os.close(fd)


def sweep(store, folders, max_age, max_bytes=0, now=None, reserve=0, wait=0.0):
    """Removes the files in `folders` (relative to `store`) older than
    `max_age` seconds, then, while they hold more than `max_bytes` less
    `reserve` (room for output on its way), the oldest ones down to
    LOW_WATER of that (0 turns either rule off). Returns a Swept, or None
    when another process holds the sweep for `wait` seconds."""
    store = Path(store)
    now = time.time() if now is None else now
    if not store.is_dir():
        return Swept()
    swept = Swept()
    with try_lock(store / LOCK_NAME, wait) as held:
        if not held:
            return None
        files = list(_files(store, folders))
        total = sum(stat.st_size for _, stat in files)
        removable = []
        for entry, stat in files:
            age = now - stat.st_mtime
            if entry.name.startswith("."):
                expired, keep = age > max(max_age, STALE_PART_AGE), True
            else:
                expired, keep = 0 < max_age < age, False
            if expired and _remove(entry):
                total -= stat.st_size
                swept.removed.append(entry.path)
            elif not keep:
                removable.append((stat.st_mtime, entry, stat))
        if 0 < max_bytes < total + reserve:
            for _, entry, stat in sorted(removable, key=lambda item: item[0]):
                if total + reserve <= max_bytes * LOW_WATER:
                    break
                if _remove(entry):
                    total -= stat.st_size
                    swept.removed.append(entry.path)
        swept.remaining = total
    return swept


class Full(Exception):
    """No room can be made in the store for a call's output."""


class Store:
    """One process's view of the output store: an estimate of its size kept
    from the sweeps and the calls' own writes, and the sweeps that keep it
    within its limits.

    A call's file lands in the store seconds before the call answers (the
    module waits after its download), so room is made before each call for
    the output of all of this worker's calls in flight, each counted as the
    largest file the worker has written."""

    def __init__(self, root, folders, max_age, max_bytes, rescan_after=RESCAN_AFTER, interval=INTERVAL):
        self.root = Path(root)
        self.folders = list(folders)
        self.max_age = max_age
        self.max_bytes = max_bytes
        self.rescan_after = rescan_after
        self.interval = interval
        self._lock = threading.Lock()
        self._known = None
        self._looked = 0.0
        self._in_flight = 0
        self._largest = 0

    def _note(self, total):
        with self._lock:
            self._known = total
            self._looked = time.monotonic()

    def _stale(self):
        return self._known is None or time.monotonic() - self._looked >= self.rescan_after

    def bytes(self):
        """The store's size, as of at most `rescan_after` seconds ago."""
        with self._lock:
            if not self._stale():
                return self._known
        total = offload.run(store_bytes, self.root, self.folders)
        self._note(total)
        return total

    def sweep(self, now=None, reserve=0, wait=0.0):
        # Under gevent a scan of a large store would hold up the worker's
        # calls in flight: one that need not wait for another sweep runs on
        # the thread pool. One that waits polls the sweep's lock here, where
        # the wait yields.
        if wait:
            swept = sweep(self.root, self.folders, self.max_age, self.max_bytes, now, reserve, wait)
        else:
            swept = offload.run(sweep, self.root, self.folders, self.max_age, self.max_bytes, now, reserve)
        return self._noted(swept)

    def _noted(self, swept):
        if swept is not None:
            self._note(swept.remaining)
            if swept.removed:
                log.info("expired %d output file(s); %d bytes left", len(swept.removed), swept.remaining)
        return swept

    def _keep_room(self, added=0):
        """Sweeps when the estimate (plus `added`) and the room reserved
        for the calls in flight pass the cap, or the estimate is stale."""
        with self._lock:
            reserve = self._in_flight * self._largest
            due = self._stale()
            if not due:
                self._known += added
                due = self._known + reserve > self.max_bytes
        if due:
            # Waits a while for a sweep under way, which may have begun
            # before this call's room was counted.
            try:
                self.sweep(reserve=reserve, wait=SWEEP_WAIT)
            except OSError as e:
                # The call goes on; the timer's sweep tries again.
                log.warning("expiry sweep of %s failed: %s", self.root, e)

    @contextlib.contextmanager
    def call(self):
        """Brackets a call that writes output: makes room for it first, or
        raises Full when the calls in flight would take more than their
        share of the cap; the call adds the paths it wrote to the list it is
        given."""
        if self.max_bytes <= 0:
            yield []
            return
        with self._lock:
            full = (self._in_flight + 1) * self._largest > self.max_bytes * IN_FLIGHT_SHARE
            if not full:
                self._in_flight += 1
        if full:
            raise Full()
        written = []
        try:
            self._keep_room()
            yield written
        finally:
            added = 0
            for path in written:
                try:
                    size = os.stat(path).st_size
                except OSError:
                    continue
                added += size
                with self._lock:
                    self._largest = max(self._largest, size)
            with self._lock:
                self._in_flight -= 1
            self._keep_room(added)

    def start(self):
        """Sweeps every `interval` seconds on a daemon thread, and returns
        it; None when both limits are off. The first call that writes
        sweeps before that, if the store is over its cap."""
        if self.max_age <= 0 and self.max_bytes <= 0:
            return None

        def run():
            while True:
                time.sleep(self.interval)
                try:
                    self.sweep()
                except OSError:
                    log.exception("expiry sweep of %s failed", self.root)

        thread = threading.Thread(target=run, name="output-expiry", daemon=True)
        thread.start()
        return thread
