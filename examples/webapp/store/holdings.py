"""The room one worker's calls hold: reserved against the cap and their
client's share under a lock every worker takes (Reserving), and kept in
memory and in the worker's files among the reservations, where every
worker counts it (Holdings): its own file, locked for as long as it lives,
one file per client its calls hold room for, and the records of its calls
just ended."""

import contextlib
import fcntl
import logging
import math
import os
import threading
import time
import weakref

from ..locks import try_lock
from .bound import Busy, Full
from .reservations import (
    CLIENT,
    MAKING,
    RECORD,
    RESERVE_LOCK,
    RESERVED,
    Reservation,
    reserved_bytes,
    unlink,
)

log = logging.getLogger("webapp.store")
# How long a call waits for another's sweep before it goes on without its
# own: far longer than one should take.
SWEEP_WAIT = 2.0
# After a sweep that could not make room, a worker's calls that find none
# are refused for this long (or the grace, if shorter) without sweeping
# again: under a flood the store stays full until files come out of their
# grace, and a sweep per refused call would only scan it over and over.
SWEEP_BACKOFF = 1.0


def _close(fd):
    # A worker's file on a network mount that has gone away: nothing is
    # held there any more.
    with contextlib.suppress(OSError):
        os.close(fd)


class Holdings:
    """What this worker's calls hold in the store at `root`: `held` bytes,
    `clients` the bytes of it each client key's calls hold. They and this
    worker's files change under `owning`."""

    def __init__(self, root):
        self.root = root
        self.held = 0
        self.clients = {}
        self.owning = threading.Lock()
        self._mine = None  # (name, pid, descriptor, its closing) of its file

    def own_file(self):
        """This worker's file among the reservations: its size is the room
        the worker's calls in flight hold, and its lock tells the sweeps
        that the worker lives. Made at the worker's first call, and again
        after a fork or when it has gone (a sweep that could take its lock:
        a file system whose locks do not reach every host)."""
        folder = self.root / RESERVED
        if self._mine is not None:
            worker, pid, fd, closing = self._mine
            if pid != os.getpid():
                self.held = 0  # the parent's calls are the parent's
                self.clients = {}
            else:
                try:
                    if os.path.samestat(os.stat(folder / worker), os.fstat(fd)):
                        return worker, fd
                except FileNotFoundError:
                    pass
                closing()
        worker = os.urandom(8).hex()
        folder.mkdir(parents=True, exist_ok=True)
        # Made under a hidden name and renamed once locked, so that no sweep
        # meets it unlocked and takes it for a dead worker's.
        making = folder / Reservation.name_of(MAKING, worker)
        fd = os.open(making, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            os.ftruncate(fd, self.held)
            os.rename(making, folder / worker)
        except BaseException:
            os.close(fd)
            unlink(making)
            raise
        self._mine = (worker, os.getpid(), fd, weakref.finalize(self, _close, fd))
        for client in self.clients:
            self._client_file(worker, client)
        return worker, fd

    def _client_file(self, worker, client):
        """Sets the size of the file that tells every worker the room this
        one holds for `client`; removes it when that is none."""
        path = self.root / RESERVED / Reservation.name_of(CLIENT, worker, client)
        held = self.clients.get(client, 0)
        if not held:
            unlink(path)
            return
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        try:
            os.ftruncate(fd, held)
        finally:
            os.close(fd)

    def hold(self, room, change):
        """Adds `change` bytes (perhaps fewer than none) to the room `room`
        holds, here and in this worker's files."""
        room.held += change
        self.held += change
        if room.client is not None:
            held = self.clients.get(room.client, 0) + change
            if held:
                self.clients[room.client] = held
            else:
                self.clients.pop(room.client, None)
        worker, fd = self.own_file()
        os.ftruncate(fd, self.held)
        if room.client is not None:
            self._client_file(worker, room.client)

    def record(self, room, written, landed, kept):
        """Records the `written` bytes a call that ended made, `landed` when
        they did, for `kept` seconds: a worker whose look at the store came
        too early for them counts them from the record."""
        worker, _ = self.own_file()
        if written and time.time() < landed + kept:
            record = Reservation.name_of(RECORD, worker, room.client or "", written, landed)
            os.close(
                os.open(
                    self.root / RESERVED / record, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600
                )
            )


class Reserving:
    """The room a Store's calls reserve: each takes what it needs against
    the cap, the room every worker's calls hold and its client's share,
    under a lock every worker takes; the store sweeps once when there is
    not so much free. The Store's own attributes say the limits."""

    def _share(self):
        return math.floor(self.client_share * self.max_bytes) if 0 < self.client_share < 1 else 0

    def _fits(self, room, size, known, seen):
        """None when `size` more bytes for `room` fit the store and the
        share of its client; else the Full to raise."""
        total, client = reserved_bytes(self.root, seen, room.client, self.grace)
        share = self._share()
        # A client's first call is never held back by the share: only what
        # its other calls hold counts against it.
        if room.client is not None and share and client - room.held > 0 and client + size > share:
            return Full(room.held + size, self.max_bytes, share=share)
        cap = self.cap(known)
        if known + total + size > cap:
            return Full(room.held + size, cap)
        return None

    def _reserve(self, room, size):
        """Takes `size` more bytes of the store for the call `room`,
        sweeping once if there are not so many free; raises Full if there
        are not then, and Busy if its turn at the count did not come."""
        if room.held + size > self.max_bytes:
            raise Full(room.held + size, self.max_bytes, retry=False)
        holdings = self._holdings
        with holdings.owning:
            holdings.own_file()  # and with it the folder the lock file needs
        swept = False
        while True:
            known, seen = self._look()
            with try_lock(self.root / RESERVE_LOCK, self.reserve_wait) as held, holdings.owning:
                if not held:
                    raise Busy(self.reserve_wait)  # a sweep would not shorten the queue
                full = self._fits(room, size, known, seen)
                if full is None:
                    holdings.hold(room, size)
                    return
            if full.share is not None:
                raise full  # a sweep makes no room in a client's share
            if swept:
                # What lands meanwhile is in its grace: a sweep finds only
                # what this one left.
                self._full_until = time.monotonic() + min(SWEEP_BACKOFF, self.grace)
            if swept or time.monotonic() < self._full_until:
                raise full
            try:
                self.sweep(reserve=size, wait=SWEEP_WAIT)
            except OSError as e:
                log.warning("expiry sweep of %s failed: %s", self.root, e)
            swept = True

    def _give(self, room, size):
        """Gives `size` bytes of the room `room` holds back."""
        with self._holdings.owning:
            size = min(size, room.held)
            if size > 0:
                self._holdings.hold(room, -size)

    def _release(self, room, written, landed):
        """Gives a call's room back; first, while some worker's look at the
        store may have been too early for the files it wrote, records them."""
        with self._holdings.owning:
            try:
                # A client's record also charges its files to its share
                # while they are in their grace.
                kept = self.record_age if room.client is None else max(self.record_age, self.grace)
                self._holdings.record(room, written, landed, kept)
            finally:
                # Given back whatever failed: held for good, it would shrink
                # the store for as long as this worker lives. The memory
                # first: the files follow it at this worker's next change.
                self._holdings.hold(room, -room.held)
