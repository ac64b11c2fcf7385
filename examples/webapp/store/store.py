"""One worker's view of the output store: the room its calls reserve, its
count of the store, and the sweeps that keep the store within its limits."""

import contextlib
import functools
import logging
import math
import os
import threading
import time
from pathlib import Path
from stat import S_ISREG

from .. import offload, periodic
from .bound import NO_ROOM, Full, Room, Unreachable, calling
from .census import RESCAN_AFTER, disk_free
from .count import Count
from .holdings import Holdings, Reserving
from .reservations import RESERVE_WAIT, client_key, record_age
from .sweep import capacity, sweep

log = logging.getLogger("webapp.store")

# Seconds between the timed sweeps.
INTERVAL = 60.0
# Seconds a file is kept after the call that wrote it answered.
GRACE = 60.0
# The share of the cap that the calls of one client address may hold in
# flight. Whatever the share, a client's one call may take what it needs.
CLIENT_SHARE = 0.125
# Seconds a call holds room it has not written into.
HOLD = 30.0


def _dated(paths):
    """(bytes, latest time written) of the regular files among `paths`.
    Each file's time is then reset to now, the call's answer: the grace the
    sweeps give a file counts from there, as its client only then learns
    where to fetch it."""
    added, landed = 0, 0.0
    for path in set(paths):
        try:
            stat = os.stat(path, follow_symlinks=False)
            if not S_ISREG(stat.st_mode):
                continue
            os.utime(path, follow_symlinks=False)
        except (OSError, TypeError, ValueError):
            continue  # gone, not ours to date, or no path at all
        added += stat.st_size
        landed = max(landed, stat.st_mtime)
    return added, landed


class Store(Reserving):
    """One worker's view of the output store under `root`: its count of the
    files in `folders` (Count), the room its calls reserve, and the sweeps
    that keep the store within `max_age` and `max_bytes`.

    A call reserves the caller's estimate of its output before it runs,
    and takes more as it writes past it (Room). A disk with fewer bytes
    free than `smallest_call` reserves has no room for any call."""

    def __init__(
        self,
        root,
        folders,
        max_age,
        max_bytes,
        grace=GRACE,
        interval=INTERVAL,
        client_share=CLIENT_SHARE,
        hold=HOLD,
        published=None,
        look_age=RESCAN_AFTER,
        reserve_wait=RESERVE_WAIT,
        smallest_call=1,
    ):
        self.root = Path(root)
        self.published = published  # where a Publisher writes its looks, if one does
        self.look_age = look_age
        self.reserve_wait = reserve_wait
        self.record_age = record_age(look_age, reserve_wait)
        self.folders = list(folders)
        self.max_age = max_age
        self.max_bytes = max_bytes
        self.grace = grace
        self.interval = interval
        self.client_share = client_share
        self.hold = hold
        self.smallest_call = smallest_call
        self._count = Count(self.root, self.folders, look_age, published)
        self._holdings = Holdings(self.root)
        self._full_until = 0.0
        self.stop = lambda: None

    def _forget(self):
        self._count.forget()

    def _look(self):
        return self._count.look()

    def count(self):
        """Brings this worker's count of the store up to date, never
        waiting for another's: for the thread that keeps it for readiness."""
        self._count.count()

    def counted(self):
        """The latest count (a Counted), from memory: no lock, no disk."""
        return self._count.counted()

    def bytes(self):
        """The store's size, as of at most look_age seconds ago."""
        return self._look()[0]

    def cap(self, known):
        """What the store may hold, its files taking `known` bytes: the cap,
        or the room its disk had at the latest look."""
        return capacity(self.max_bytes, known, self._count.free)

    def too_full(self, free):
        """Whether a disk with `free` bytes free (None: unknown) has too few
        for even the smallest call."""
        return free is not None and free < self.smallest_call

    def sweep(self, now=None, reserve=0, wait=0.0):
        # Under gevent a scan of a large store would hold up the worker's
        # calls in flight: one that need not wait for another sweep runs on
        # the thread pool. One that waits polls the sweep's lock here, where
        # the wait yields.
        looked = time.monotonic()
        run = functools.partial(
            sweep,
            self.root,
            self.folders,
            max_age=self.max_age,
            max_bytes=self.max_bytes,
            now=now,
            reserve=reserve,
            wait=wait,
            grace=self.grace,
            records=self.record_age,
        )
        swept = run() if wait else offload.run(run)
        if swept is not None:
            self._count.note(swept.remaining, looked, swept.records, swept.free)
            if swept.removed:
                log.info("expired %d output file(s); %d bytes left", len(swept.removed), swept.remaining)
        return swept

    @contextlib.contextmanager
    def call(self, folder, estimate, client=None):
        """Brackets a call that writes output into `folder`, whose output
        should take `estimate` bytes, for the client address `client`:
        reserves its room first, or raises Full; the call adds the paths it
        wrote to the list it is given. Within the block, what the call
        writes through an `opener` file is taken from its room. Its files
        are dated to its answer, which is when the grace begins."""
        room = Room(self, None if client is None else client_key(client), 0)
        reserving = self.max_bytes > 0
        if reserving:
            try:
                self._reserve(room, math.ceil(estimate))
            except OSError as e:
                # A full disk has no room; a mount that cannot reach its
                # storage is no store at all. The module would fail in either.
                log.warning("no room could be reserved in %s: %s", self.root, e)
                with contextlib.suppress(OSError):
                    self._give(room, room.held)
                if e.errno in NO_ROOM:
                    self._forget()
                    with contextlib.suppress(Exception):
                        self.sweep()
                    raise Full(math.ceil(estimate), self.max_bytes) from e
                raise Unreachable(str(e)) from e
        token = calling.set(room)
        try:
            if reserving and self.hold > 0:
                room.timer = threading.Timer(self.hold, room.trim)
                room.timer.daemon = True
                room.timer.start()
            yield room.paths
        finally:
            with contextlib.suppress(ValueError):  # ended in another context
                calling.reset(token)
            if room.timer is not None:
                room.timer.cancel()
            added, landed = _dated(room.paths)
            if reserving:
                try:
                    self._release(room, added, landed)
                except OSError as e:
                    log.warning("the room of a call could not be given back in %s: %s", self.root, e)
        if room.stopped is not None:
            # The module may have turned the failed write into an answer of
            # its own; the call failed all the same.
            raise room.stopped

    def start(self):
        """Sweeps every `interval` seconds on a thread of its own until
        `stop`, which it returns; None when both limits are off. A call that
        finds no room in the store sweeps before that, and so does the
        timer on a disk too full for a call: readiness turns every host's
        calls away until it has room."""
        if self.max_age <= 0 and self.max_bytes <= 0:
            return None
        last = [time.monotonic()]

        def turn():
            if time.monotonic() - last[0] < self.interval and not self.too_full(disk_free(self.root)):
                return
            last[0] = time.monotonic()
            self.sweep()

        self.stop = periodic.every(min(self.interval, RESCAN_AFTER), turn, "output-expiry", fork_waits=True)
        return self.stop
