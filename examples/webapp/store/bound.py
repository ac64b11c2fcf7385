"""The bound on what a call writes: the room it holds in the store (Room),
taken before each write of its output through the files the module opens
(`opener`), and the refusal when there is no more (Full), when it could
not be counted in time (Busy) or when there is no store (Unreachable)."""

import builtins
import contextlib
import contextvars
import errno
import logging

log = logging.getLogger("webapp.store")

# A call whose output passes its room takes at least this much more at a
# time, so that a download of small chunks takes the lock seldom.
GROW_STEP = 1 << 20
# What a store that is there but cannot take a call's room says.
NO_ROOM = (errno.ENOSPC, errno.EDQUOT)
# What a store that has gone away says: a network mount cut off from its
# storage, or a disk that fails.
CUT_OFF = (
    errno.ENOTCONN,
    errno.ETIMEDOUT,
    errno.ESTALE,
    errno.EIO,
    errno.EHOSTDOWN,
    errno.EHOSTUNREACH,
    errno.ENETUNREACH,
    errno.ECONNABORTED,
    errno.ECONNRESET,
    errno.ECONNREFUSED,
)

# The room of the call in flight on this thread (or greenlet).
calling = contextvars.ContextVar("store.call", default=None)


class Full(Exception):
    """No room can be made in the store for a call's output. `retry` is
    False when the call's room alone is more than the cap: no wait helps.
    `share` is the client's share of the cap, when that is what its calls
    hold; `written` the bytes a call had written when its output passed
    the room it could have (None: refused before it ran)."""

    def __init__(self, room, cap, retry=True, share=None, written=None):
        super().__init__(room, cap, retry, share, written)
        self.room = room
        self.cap = cap
        self.retry = retry
        self.share = share
        self.written = written


class Unreachable(Exception):
    """The store could not be reached for a call (a network mount cut off
    from its storage): to reserve its room, before it ran, or to write its
    output, which no client was given. A host that reaches the store may
    run it."""


class Busy(Exception):
    """The store's room could not be counted for a call within `wait`
    seconds: other calls' reservations kept its lock throughout. `written`
    as for Full."""

    def __init__(self, wait, written=None):
        super().__init__(wait, written)
        self.wait = wait
        self.written = written


class Room:
    """The room one call holds in the store: `held` bytes reserved, of
    which `written` it has written; `paths`, the files it wrote."""

    def __init__(self, store, client, held):
        self.store = store
        self.client = client
        self.held = held
        self.written = 0
        self.paths = []
        self.stopped = None  # the Full, Busy or Unreachable that stopped its output
        self.timer = None

    def take(self, size):
        """Room for `size` more bytes of output, taken from the store before
        they are written; raises Full when there is none."""
        if self.stopped is not None:
            raise self.stopped
        more = self.written + size - self.held
        if more > 0 and self.store.max_bytes > 0:
            try:
                try:
                    self.store._reserve(self, max(more, GROW_STEP))
                except Full:
                    self.store._reserve(self, more)
            except Full as e:
                self.stopped = Full(self.written + size, e.cap, e.retry, e.share, self.written)
                raise self.stopped from None
            except Busy as e:
                self.stopped = Busy(e.wait, self.written)
                raise self.stopped from None
        self.written += size

    def trim(self):
        """Gives back the room not written into."""
        self.store._give(self, self.held - self.written)

    @contextlib.contextmanager
    def disk(self):
        """Where the call writes: a disk with no room left is a store with
        none, whatever its count said (a disk shared with other writers).
        The store sweeps and the call is stopped with Full. A store that
        has gone away stops it with Unreachable, however the module answers
        the failed write."""
        try:
            yield
        except OSError as e:
            if e.errno in CUT_OFF:
                log.warning("the store at %s could not be written: %s", self.store.root, e)
                self.stopped = Unreachable(str(e))
                raise self.stopped from e
            if e.errno not in NO_ROOM:
                raise
            log.warning("the store's disk at %s is full: %s", self.store.root, e)
            self.store._forget()
            with contextlib.suppress(Exception):
                self.store.sweep()
            cap = self.store.cap(self.store.counted().bytes or 0)
            self.stopped = Full(self.written, cap, written=self.written)
            raise self.stopped from e


class _Bounded:
    """A file the module writes output into, each write taken from the
    room of the call it writes for."""

    def __init__(self, file, room):
        self._file = file
        self._room = room

    def write(self, data):
        self._room.take(len(data.encode()) if isinstance(data, str) else memoryview(data).nbytes)
        with self._room.disk():
            return self._file.write(data)

    def flush(self):
        with self._room.disk():
            self._file.flush()

    def close(self):
        # A buffered write meets the full disk only here.
        with self._room.disk():
            self._file.close()

    def __getattr__(self, name):
        return getattr(self._file, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def opener(open=builtins.open):
    """`open`, whose files opened for writing during a Store.call take what
    is written from that call's room: for the module's namespace, where
    it looks `open` up when it writes a download."""

    def bounded_open(file, mode="r", *args, **kwargs):
        room = calling.get()
        if room is None or not set(mode) & set("wax+"):
            return open(file, mode, *args, **kwargs)
        with room.disk():
            return _Bounded(open(file, mode, *args, **kwargs), room)

    bounded_open.bounds_writes = True
    return bounded_open
