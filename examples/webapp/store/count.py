"""How big the store is, as one worker knows it: the one count its calls,
its readiness and its metrics ask, at most `look_age` seconds old."""

import threading
import time
from typing import NamedTuple

from .. import offload, periodic
from .census import RESCAN_AFTER, Census, disk_free, look, read_count, read_published
from .reservations import RESERVE_WAIT

# How often a worker reads its master's count again while it waits for one
# fresh enough.
PUBLISHED_POLL = 0.25


class Uncounted(Exception):
    """The store's files have not been counted within `age` seconds by the
    master that counts them for this worker (a count over a network file
    system slower than its setting allows): no room can be told."""

    def __init__(self, age):
        super().__init__(age)
        self.age = age


class Counted(NamedTuple):
    """The count as of its latest look, read from memory."""

    bytes: int | None  # None before any look
    began: float  # monotonic, when that look began
    disk_free: int | None  # bytes free on the store's disk at the latest `count`
    # Where the master counts: the seconds its count is older than, past
    # which the calls are refused; None while it is not.
    late: float | None


class Count:
    """The bytes of the store's files under `root`/`folders` and the records
    of ended calls a look found, as of at most `look_age` seconds ago. Where
    the looks at `published` are the server's master's, they are the count
    and this worker never lists the store; else it looks for itself.

    The calls look when theirs is stale (`look`); a thread of the operating
    system's keeps the count for readiness (`count`), and probes read it
    from memory (`counted`), so that no probe waits on the disk."""

    def __init__(self, root, folders, look_age=RESCAN_AFTER, published=None):
        self.root = root
        self.look_age = look_age
        self.published = published
        allocate_lock = periodic.native()[2]
        # Taken by the calls and by the count's own thread alike: native,
        # and never held across a wait.
        self._lock = allocate_lock()
        self._census_lock = allocate_lock()
        self._census = Census(root, folders)  # used under _census_lock
        # One look for the calls at a time: those that arrive while it is
        # under way take its result rather than scanning the store again.
        self._scanning = threading.Lock()
        self._latest = (None, 0.0, set(), None)  # bytes, began, records, bytes free then
        self._forgotten = False
        self._master = False
        self._disk_free = None

    def note(self, total, began, seen, free=None):
        with self._lock:
            self._latest, self._forgotten = (total, began, seen, free), False

    def forget(self):
        """Has the next call look at the store again."""
        self._forgotten = True

    @property
    def free(self):
        """The bytes the store's disk had free at the latest look."""
        return self._latest[3]

    def _fresh(self):
        total, began, seen, _ = self._latest
        if self._forgotten or total is None or time.monotonic() - began >= self.look_age:
            return None
        return total, seen

    def look(self):
        """The bytes of the store's files as of at most look_age seconds
        ago, and the records of ended calls that look found."""
        fresh = self._fresh()
        if fresh is not None:
            return fresh
        if self.published is not None:
            ours, theirs = read_count(self.published, self.look_age)
            if ours:
                return self._masters_look(theirs)
        with self._scanning:
            return self._fresh() or offload.run(self._own_look)

    def _own_look(self):
        with self._census_lock:
            fresh = self._fresh()
            if fresh is not None:
                return fresh
            began = time.monotonic()
            seen, total = look(self.root, self._census)
            self.note(total, began, seen, disk_free(self.root))
            return total, seen

    def _masters_look(self, theirs):
        """The master's latest look, once one is fresh enough: a worker that
        counted for itself while the master's count runs late would add a
        listing of the store per worker to what made it late."""
        deadline = time.monotonic() + RESERVE_WAIT
        while theirs is None:
            if time.monotonic() >= deadline:
                raise Uncounted(self.look_age)
            time.sleep(PUBLISHED_POLL)
            theirs = read_published(self.published, self.look_age)
        total, began, seen, free = theirs
        self.note(total, began, seen, free)
        return total, seen

    def count(self):
        """Brings the count up to date without waiting for anyone: takes
        the master's latest look, however late, or looks once the count is
        stale where no master counts. For a thread of its own."""
        self._disk_free = disk_free(self.root)
        self._master, theirs = (False, None) if self.published is None else read_count(self.published, None)
        if not self._master:
            self._own_look()
            return
        if theirs is not None:
            total, began, seen, free = theirs
            with self._lock:
                if self._latest[0] is None or began > self._latest[1]:
                    self._latest, self._forgotten = (total, began, seen, free), False

    def counted(self):
        """The latest count, from memory: takes no lock and reads no disk."""
        total, began, _, _ = self._latest
        late = None
        overdue = self.look_age + RESERVE_WAIT
        if self._master and (total is None or time.monotonic() - began > overdue):
            late = overdue
        return Counted(total, began, self._disk_free, late)
