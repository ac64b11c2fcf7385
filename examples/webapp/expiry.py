"""The output store shared by every worker of every host: the room each
call that writes output reserves in it before the module runs, and the
expiry of its files by age and by its size, by one sweeper at a time.

A call reserves room for its output in the store itself: each worker has a
file in the hidden folder `.reserved` whose size is the room its calls in flight hold (a sparse file: it takes no disk). A
flock on a file in the store lets one worker at a time count the store's
files and every worker's room against the cap and add its call's, so the
calls in flight on all hosts together never take more room than there is.
A call for which there is none, even after a sweep, is refused before the
module runs. Each worker holds a flock on its file for as long as it lives:
the sweeps remove the file of a worker that died (a killed host) by finding
that lock free.

A reservation is what a call may write, not a guess at it: every write of
the call's output is taken from its room first (the host hands the module
an `open` whose files do so, `opener`), and a call whose output passes its
room takes more as it goes, or is stopped with Full. Nothing a call wrote
changes the room of another. The room one client (a network) holds is
bounded by a share of the cap, counted on every host: its calls in flight,
for which a worker keeps a file per client beside its own, whose size is
that room, and its files still in their grace, which the records of its
ended calls name (else a client's handed-out files would fill the store
for a grace at a time). And room a call has not written into within `hold`
seconds is given back, so a call that waits long on its remote service (a
recording that trickles in) holds only what it has written.

A worker's count of the store's files is at most a few seconds old. Each
host's master counts them for its workers (Publisher) and a worker waits
for that count when it is late, never listing the store itself (only a
worker with no master counting does); a count lists
the folders and reads only the sizes of files it has not met (Census), as
files are renamed into place whole. A call that ends gives its room back,
and the files it wrote may have landed after the latest count: for a few
seconds a record of their bytes stays in `.reserved`, which a worker counts
when its count did not find it. Those records, and the files of workers
that died, go with the sweeps: the folder holds what the calls in flight
need, no more.

Each host's master sweeps on its own timer, and a worker before a call that
finds no room; a flock lets one of them sweep at a time (the timers skip
their turn when it is taken), so no coordinator is needed and losing any
host loses nothing.

Three kinds of file are never removed: a file younger than the grace, the
writers' partial downloads (is_partial) unless their writer is long dead, and
a file that a reader is sending, which holds a shared flock on it for as long
as it sends. The grace is kept by the files' own times: when a call answers,
the times of the files it wrote are reset to that moment, so a file's age is
the time since its client was handed the link, and one younger than the grace
stays whatever the limits, as its client may still be on its way to fetch it.
"""

import builtins
import contextlib
import contextvars
import errno
import fcntl
import functools
import hashlib
import itertools
import json
import logging
import math
import os
import threading
import time
import weakref
from dataclasses import dataclass, field
from pathlib import Path
from stat import S_ISREG

from . import offload
from .locks import try_lock

log = logging.getLogger("webapp.expiry")

LOCK_NAME = ".expiry.lock"
# Held while a worker counts the room taken and adds its call's.
RESERVE_LOCK = ".reserve.lock"
# The workers' files, whose sizes are the room their calls hold, and the
# records of calls just ended.
RESERVED = ".reserved"
# A partial download (is_partial) still this old belongs to a writer that
# died (a killed host): no call waits that long.
STALE_PART_AGE = 6 * 3600
# Over its cap the store is trimmed to this share of it, so that a flood
# does not make every call that follows sweep again.
LOW_WATER = 0.9
# How long a call waits for another's sweep before it goes on without its
# own: far longer than one should take.
SWEEP_WAIT = 2.0
# How long a call waits for the other workers' counts of the room before it
# is refused: on a network file system each count is a few round trips to
# the storage, longer when it loses packets, and a burst of calls queues.
RESERVE_WAIT = 10.0
# After a sweep that could not make room, a worker's calls that find none
# are refused for this long (or the grace, if shorter) without sweeping
# again: under a flood the store stays full until files come out of their
# grace, and a sweep per refused call would only scan it over and over.
SWEEP_BACKOFF = 1.0
# A worker's count of the store's files is at most this old, by default: a
# count over a network file system, which takes a round trip per file, needs
# more (the setting WEBAPP_STORE_LOOK_AGE).
RESCAN_AFTER = 5.0
# A census reads the sizes of this many of its files again at each look, in
# turn (a file replaced under its own name keeps a stale size until then).
RESTAT_TURN = 1 / 24
# How far apart the clocks of the hosts on one store may be.
CLOCK_SLACK = 1.0


def record_age(look_age):
    """How long the record of a call that ended is kept, where counts may be
    `look_age` seconds old: past it, every worker's look at the store,
    however late its count of the room, began after the files it stands for
    had landed (the record's time is the writer's clock, the sweep that
    removes it reads its own)."""
    return look_age + RESERVE_WAIT + 2 * CLOCK_SLACK


RECORD_AGE = record_age(RESCAN_AFTER)
# How often a worker reads its master's count again while it waits for one
# fresh enough.
PUBLISHED_POLL = 0.25
# Seconds between the timed sweeps.
INTERVAL = 60.0
# Seconds a file is kept after the call that wrote it answered.
GRACE = 60.0
# The share of the cap that the calls of one client address may hold in
# flight. Whatever the share, a client's one call may take what it needs.
CLIENT_SHARE = 0.125
# Seconds a call holds room it has not written into.
HOLD = 30.0
# A call whose output passes its room takes at least this much more at a
# time, so that a download of small chunks takes the lock seldom.
GROW_STEP = 1 << 20

# The room of the call in flight on this thread (or greenlet).
_calling = contextvars.ContextVar("expiry.call", default=None)


@dataclass
class Swept:
    removed: list = field(default_factory=list)
    remaining: int = 0  # bytes left in the folders, partial downloads included
    reserved: int = 0  # bytes the calls in flight hold
    records: set = field(default_factory=set)  # of the calls that ended, as the sweep began
    free: int = None  # bytes free on the store's disk once swept


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


def is_partial(name):
    """Whether the file `name` in an output folder is a partial download:
    its writer downloads under a hidden name and renames the file once whole."""
    return name.startswith(".")


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


# The reservations folder holds four kinds of file, told apart by their
# names (Reservation.parse): a worker's file, `{worker}`, whose size is the
# room its calls in flight hold; the room they hold for one client address,
# `{worker}.{client}`; the record of a call that ended, `{worker}.{call}.
# {bytes}.{landed in milliseconds}`, with `.{client}` after it for a client's
# call; and a worker's file being made, `.{worker}`.
WORKER, CLIENT, RECORD, MAKING = "worker", "client", "record", "making"


@dataclass(frozen=True)
class Reservation:
    kind: str
    name: str
    worker: str
    client: str = ""
    written: int = 0  # a record's bytes
    landed: float = 0.0  # a record's time, by its writer's clock

    @classmethod
    def parse(cls, name):
        """The file `name` in the reservations folder; None when it is not
        one of ours."""
        parts = name.split(".")
        if len(parts) == 1:
            return cls(WORKER, name, name)
        if len(parts) == 2 and not parts[0]:
            return cls(MAKING, name, parts[1])
        if len(parts) == 2:
            return cls(CLIENT, name, parts[0], client=parts[1])
        if len(parts) in (4, 5):
            written, landed = (_number(part) or 0 for part in parts[2:4])
            client = parts[4] if len(parts) == 5 else ""
            return cls(RECORD, name, parts[0], client=client, written=written, landed=landed / 1000)
        return None


def _number(text):
    try:
        return int(text)
    except ValueError:
        return None  # not one of ours


def _reservations(store):
    """The files in the store's reservations folder, as Reservations."""
    try:
        names = os.listdir(Path(store) / RESERVED)
    except (FileNotFoundError, NotADirectoryError):
        return []  # no call has reserved room there yet
    return [entry for entry in map(Reservation.parse, names) if entry is not None]


def _records(entries):
    return {entry.name for entry in entries if entry.kind == RECORD}


class Census:
    """The bytes in `folders` under `store`, kept name by name between looks.

    A look lists each folder and stats only the names it has not met:
    writers make a file under a hidden name and rename it into place whole,
    so a visible name keeps its size, and a look at a large store costs a
    listing rather than a stat per file. The sizes of hidden names (partial
    downloads, which grow) are read at every look, and a share of the others
    in turn (RESTAT_TURN). One thread at a time may use a census."""

    def __init__(self, store, folders):
        self.store = Path(store)
        self.folders = list(folders)
        self._sizes = {}  # folder -> {name: bytes} of the names in it
        self._hidden = {}  # folder -> the hidden names among them
        self._totals = {}  # folder -> the sum of its sizes

    def bytes(self):
        return sum(self._count(folder) for folder in self.folders)

    def _count(self, folder):
        path = self.store / folder
        try:
            names = set(os.listdir(path))
        except OSError:
            names = set()  # not there (yet), or not a folder: nothing of ours
        sizes = self._sizes.setdefault(folder, {})
        hidden = self._hidden.setdefault(folder, set())
        total = self._totals.get(folder, 0)
        for name in sizes.keys() - names:
            total -= sizes.pop(name)
        hidden &= names
        # The names read longest ago come first: a name read goes to the end.
        again = itertools.islice(sizes, math.ceil(len(sizes) * RESTAT_TURN))
        for name in (names - sizes.keys()) | hidden | set(again):
            total -= sizes.pop(name, 0)
            try:
                stat = os.lstat(path / name)
            except OSError:
                continue  # gone since the listing
            # Anything but a regular file (a link, a folder) counts nothing.
            sizes[name] = stat.st_size if S_ISREG(stat.st_mode) else 0
            total += sizes[name]
            if is_partial(name):
                hidden.add(name)
        self._totals[folder] = total
        return total


def look(store, census):
    """The records of ended calls in `store`, then the bytes its `census`
    counts: a record there before the count began stands for files it
    counted."""
    return _records(_reservations(store)), census.bytes()


def disk_free(store):
    """The bytes the file system under `store` has free for an unprivileged
    writer, or None when it cannot tell."""
    try:
        disk = os.statvfs(store)
    except OSError:
        return None
    return disk.f_bavail * disk.f_frsize


def too_full(free):
    """Whether a disk with `free` bytes free (None: unknown) has too few
    for even a short call."""
    return free is not None and free < TTS_ROOM


def capacity(max_bytes, known, free):
    """What the store may hold: its cap, or less when its file system has
    no more room than `free` beyond the `known` bytes of its files. A disk
    smaller than the cap would otherwise fail the writes the cap lets in."""
    return max_bytes if free is None else min(max_bytes, known + free)


# Where a host's master writes its looks at the store, in the host's
# working directory.
PUBLISHED = "store-look.json"


class Publisher:
    """Looks at the store for the workers of one host and writes each look
    to `path`, where their Stores read it (`published`): the server's
    master, whose interpreter serves no call and no probe, lists the store
    once for them all."""

    def __init__(self, path, store, folders):
        self.path = Path(path).absolute()
        self.store = Path(store)
        self.census = Census(store, folders)

    def publish(self):
        began = time.monotonic()
        records, total = look(self.store, self.census)
        self._write(began=began, bytes=total, records=sorted(records), free=disk_free(self.store))

    def _write(self, **look_):
        making = self.path.with_name(f".{self.path.name}.{os.getpid()}")
        making.write_text(json.dumps({"pid": os.getpid(), **look_}))
        os.replace(making, self.path)

    def start(self, every=RESCAN_AFTER / 2):
        """Publishes now and again `every` seconds after each look ends, on
        a daemon thread, until `stop`; returns the thread."""
        self._stopped = threading.Event()
        # From now on the workers wait for this process's counts, also while
        # its first is under way, rather than each listing the store.
        self._write()

        def run():
            while True:
                # Whatever fails, the workers would count the store for
                # themselves from then on: this look is lost, not the next.
                try:
                    self.publish()
                except Exception:
                    log.exception("the look at %s could not be published", self.store)
                if self._stopped.wait(every):
                    return

        thread = threading.Thread(target=run, name="store-census", daemon=True)
        thread.start()
        return thread

    def stop(self):
        self._stopped.set()


def read_published(path, max_age=RESCAN_AFTER):
    """(bytes, monotonic time it began, records, bytes free on the disk or
    None) of the look at `path`, or None when there is none, or none begun
    within `max_age` seconds (None: any); the monotonic clock is the
    machine's, the same in every process."""
    try:
        look = json.loads(Path(path).read_bytes())
        total, began, records = int(look["bytes"]), float(look["began"]), set(look["records"])
        free = None if look.get("free") is None else int(look["free"])
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return None  # none yet, or written by something else
    if max_age is not None and not 0 <= time.monotonic() - began < max_age:
        return None
    return total, began, records, free


def master_counts(path):
    """Whether the looks at `path` are this process's or its parent's (the
    server's master, whose workers take its counts)."""
    try:
        pid = json.loads(Path(path).read_bytes())["pid"]
    except (OSError, ValueError, KeyError, TypeError):
        return False
    return pid in (os.getpid(), os.getppid())


def client_key(address):
    """The name under which a client address's room is kept: a digest, as
    an address may hold dots, colons or anything a header carried."""
    return hashlib.blake2b(str(address).encode(), digest_size=8).hexdigest()


def _size(path):
    try:
        return os.stat(path).st_size
    except FileNotFoundError:
        return 0  # a dead worker's, just removed


def reserved_bytes(store, seen=(), client=None, grace=0.0):
    """The bytes the calls in flight on `store` hold, and those of the
    records of ended calls not in `seen`, the records a look at the store's
    files found already there; and the bytes that `client` (a client_key)
    holds: its calls in flight and its files still in their `grace`."""
    folder = os.path.join(store, RESERVED)
    total = held = 0
    now = time.time()
    for entry in _reservations(store):
        if entry.kind == WORKER:
            total += _size(os.path.join(folder, entry.name))
        elif entry.kind == CLIENT and entry.client == client:
            held += _size(os.path.join(folder, entry.name))
        elif entry.kind == RECORD:
            if entry.name not in seen:
                total += entry.written
            if client is not None and entry.client == client and now < entry.landed + grace:
                held += entry.written
    return total, held


def _living_bytes(path):
    """The room the worker whose file is at `path` holds, or None when the
    worker is gone: it no longer holds the file's lock."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    except FileNotFoundError:
        return 0
    except OSError:
        try:
            return os.stat(path).st_size  # cannot tell: its room stays taken
        except OSError:
            return 0
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return None
    except BlockingIOError:
        return os.fstat(fd).st_size
    finally:
        os.close(fd)


def _close(fd):
    # A worker's file on a network mount that has gone away: nothing is
    # held there any more.
    with contextlib.suppress(OSError):
        os.close(fd)


def _unlink(path):
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)


def _tidy_reservations(store, now, kept=RECORD_AGE, grace=0.0):
    """Removes the files of workers that died and the records no worker
    needs any more (a client's call's, once out of the `grace` as well);
    returns the bytes the calls in flight hold and the
    records there were. A sweep's own count of the files that follows
    includes what the records stand for."""
    folder = Path(store) / RESERVED
    entries = _reservations(store)
    held = 0
    living_workers = set()
    for entry in entries:
        if entry.kind == WORKER:
            living = _living_bytes(folder / entry.name)
            if living is None:
                _unlink(folder / entry.name)
            else:
                held += living
                living_workers.add(entry.worker)
    for entry in entries:
        path = folder / entry.name
        if entry.kind == CLIENT and entry.worker not in living_workers:
            # A client's room kept by a worker that died (or one whose file
            # this listing missed, just made: hence the age).
            with contextlib.suppress(OSError):
                if now - os.stat(path).st_mtime > kept:
                    _unlink(path)
        elif entry.kind == RECORD:
            if entry.landed + (max(kept, grace) if entry.client else kept) < now:
                _unlink(path)
        elif entry.kind == MAKING:
            # A worker's file is made under a hidden name and renamed once
            # locked; one left so is a worker's that died in between.
            with contextlib.suppress(OSError):
                if _living_bytes(path) is None and now - os.stat(path).st_mtime > kept:
                    _unlink(path)
    return held, _records(entries)


def sweep(
    store, folders, *, max_age, max_bytes=0, now=None, reserve=0, wait=0.0, grace=0.0, records=RECORD_AGE
):
    """Removes the files in `folders` (relative to `store`) older than
    `max_age` seconds, then, while they and the room the calls in flight
    hold come to more than `max_bytes` less `reserve` (room for a call about
    to start), the oldest ones down to LOW_WATER of that (0 turns either
    rule off); a file younger than `grace` seconds stays whatever the rules.
    Records of ended calls go once `records` seconds old. Returns a Swept,
    or None when another process holds the sweep for `wait` seconds."""
    store = Path(store)
    now = time.time() if now is None else now
    if not store.is_dir():
        return Swept()
    swept = Swept()
    with try_lock(store / LOCK_NAME, wait) as held:
        if not held:
            return None
        # The reservations before the files: a call that ends in between is
        # counted twice, never missed.
        reserved, swept.records = _tidy_reservations(store, now, records, grace)
        files = list(_files(store, folders))
        total = sum(stat.st_size for _, stat in files)
        if max_bytes > 0:
            max_bytes = capacity(max_bytes, total, disk_free(store))
        removable = []
        for entry, stat in files:
            age = now - stat.st_mtime
            if is_partial(entry.name):
                expired, keep = age > max(max_age, STALE_PART_AGE), True
            else:
                # A call's files are dated to its answer (_dated), so `age`
                # is the time since its client was handed the link.
                keep = age < grace
                expired = 0 < max_age < age and not keep
            if expired and _remove(entry):
                total -= stat.st_size
                swept.removed.append(entry.path)
            elif not keep:
                removable.append((stat.st_mtime, entry, stat))
        if 0 < max_bytes < total + reserved + reserve:
            for _, entry, stat in sorted(removable, key=lambda item: item[0]):
                if total + reserved + reserve <= max_bytes * LOW_WATER:
                    break
                if _remove(entry):
                    total -= stat.st_size
                    swept.removed.append(entry.path)
        swept.remaining = total
        swept.reserved = reserved
        swept.free = disk_free(store)
    return swept


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


class Uncounted(Exception):
    """The store's files have not been counted within `age` seconds by the
    master that counts them for this worker (a count over a network file
    system slower than its setting allows): no room can be told."""

    def __init__(self, age):
        super().__init__(age)
        self.age = age


class Unreachable(Exception):
    """The store could not be reached to reserve a call's room (a network
    mount cut off from its storage): the call has not run, and a host
    that reaches the store may run it."""


# What a store that is there but cannot take a call's room says.
NO_ROOM = (errno.ENOSPC, errno.EDQUOT)


class Room:
    """The room one call holds in the store: `held` bytes reserved, of
    which `written` it has written; `paths`, the files it wrote."""

    def __init__(self, store, client, held):
        self.store = store
        self.client = client
        self.held = held
        self.written = 0
        self.paths = []
        self.stopped = None  # the Full that stopped its output
        self.timer = None

    def take(self, size):
        """Room for `size` more bytes of output, taken from the store before
        they are written; raises Full when there is none."""
        if self.stopped is not None:
            raise self.stopped
        more = self.written + size - self.held
        if more > 0 and self.store.max_bytes > 0:
            try:
                self.store._reserve(self, max(more, GROW_STEP))
            except Full:
                try:
                    self.store._reserve(self, more)
                except Full as e:
                    self.stopped = Full(self.written + size, e.cap, e.retry, e.share, self.written)
                    raise self.stopped from None
        self.written += size

    def trim(self):
        """Gives back the room not written into."""
        self.store._give(self, self.held - self.written)

    @contextlib.contextmanager
    def disk(self):
        """Where the call writes: a disk with no room left is a store with
        none, whatever its count said (a disk shared with other writers).
        The store sweeps and the call is stopped with Full."""
        try:
            yield
        except OSError as e:
            if e.errno not in NO_ROOM:
                raise
            log.warning("the store's disk at %s is full: %s", self.store.root, e)
            self.store._forget()
            with contextlib.suppress(Exception):
                self.store.sweep()
            cap = self.store.cap(self.store.counted()[0] or 0)
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
        room = _calling.get()
        if room is None or not set(mode) & set("wax+"):
            return open(file, mode, *args, **kwargs)
        with room.disk():
            return _Bounded(open(file, mode, *args, **kwargs), room)

    bounded_open.bounds_writes = True
    return bounded_open


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


class Store:
    """One worker's view of the output store: its look at the files, kept
    from its sweeps and scans, the room its calls reserve, and the sweeps
    that keep the store within its limits.

    A call reserves the caller's estimate of its output before it runs,
    and takes more as it writes past it (Room)."""

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
    ):
        self.root = Path(root)
        self.published = published  # where a Publisher writes its looks, if one does
        self.look_age = look_age
        self.record_age = record_age(look_age)
        self.folders = list(folders)
        self.max_age = max_age
        self.max_bytes = max_bytes
        self.grace = grace
        self.interval = interval
        self.client_share = client_share
        self.hold = hold
        self._lock = threading.Lock()
        self._known = None
        self._looked = 0.0  # monotonic, when the look behind _known began
        self._seen = set()  # the records that look found
        self._free = None  # the bytes the store's disk had free at that look
        self._full_until = 0.0
        self._held = 0  # bytes this worker's calls in flight hold
        self._clients = {}  # client key -> the bytes of _held its calls hold
        self._mine = None  # (name, pid, descriptor, its closing) of its file
        # This worker's file and what it holds change under this lock.
        self._owning = threading.Lock()
        self._scanning = threading.Lock()
        self._census = Census(self.root, self.folders)  # used under _scanning

    def _note(self, total, looked, seen, free=None):
        with self._lock:
            self._known, self._looked, self._seen, self._free = total, looked, seen, free

    def _forget(self):
        """Has the next call look at the store again."""
        with self._lock:
            self._looked = -math.inf

    def cap(self, known):
        """What the store may hold, its files taking `known` bytes: the cap,
        or the room its disk had at the latest look."""
        return capacity(self.max_bytes, known, self._free)

    def _stale(self):
        return self._known is None or time.monotonic() - self._looked >= self.look_age

    def _fresh(self):
        with self._lock:
            return None if self._stale() else (self._known, self._seen)

    def _look(self):
        """The bytes of the store's files as of at most look_age seconds
        ago, and the records of ended calls that look found."""
        fresh = self._fresh()
        if fresh is not None:
            return fresh
        if self.published is not None and master_counts(self.published):
            return self._masters_look()
        # One look at a time: the calls that arrive while it is under way
        # take its result rather than scanning the store again each.
        with self._scanning:
            fresh = self._fresh()
            if fresh is not None:
                return fresh
            looked = time.monotonic()
            seen, total, free = offload.run(lambda: (*look(self.root, self._census), disk_free(self.root)))
            self._note(total, looked, seen, free)
            return total, seen

    def _masters_look(self):
        """The master's latest look, once one is fresh enough: a worker that
        counted for itself while the master's count runs late would add a
        listing of the store per worker to what made it late."""
        deadline = time.monotonic() + RESERVE_WAIT
        while (theirs := read_published(self.published, self.look_age)) is None:
            if time.monotonic() >= deadline:
                raise Uncounted(self.look_age)
            time.sleep(PUBLISHED_POLL)
        total, looked, seen, free = theirs
        self._note(total, looked, seen, free)
        return total, seen

    def counted(self):
        """(bytes, monotonic time it began) of this worker's latest look at
        the store; (None, 0.0) before any. Takes no lock: another thread's
        look may be under way."""
        return self._known, self._looked

    def bytes(self):
        """The store's size, as of at most look_age seconds ago."""
        return self._look()[0]

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
            self._note(swept.remaining, looked, swept.records, swept.free)
            if swept.removed:
                log.info("expired %d output file(s); %d bytes left", len(swept.removed), swept.remaining)
        return swept

    def _own_file(self):
        """This worker's file among the reservations: its size is the room
        the worker's calls in flight hold, and its lock tells the sweeps
        that the worker lives. Made at the worker's first call, and again
        after a fork or when it has gone (a sweep that could take its lock:
        a file system whose locks do not reach every host)."""
        folder = self.root / RESERVED
        if self._mine is not None:
            worker, pid, fd, closing = self._mine
            if pid != os.getpid():
                self._held = 0  # the parent's calls are the parent's
                self._clients = {}
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
        making = folder / f".{worker}"
        fd = os.open(making, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            os.ftruncate(fd, self._held)
            os.rename(making, folder / worker)
        except BaseException:
            os.close(fd)
            _unlink(making)
            raise
        self._mine = (worker, os.getpid(), fd, weakref.finalize(self, _close, fd))
        for client in self._clients:
            self._client_file(worker, client)
        return worker, fd

    def _client_file(self, worker, client):
        """Sets the size of the file that tells every worker the room this
        one holds for `client`; removes it when that is none."""
        path = self.root / RESERVED / f"{worker}.{client}"
        held = self._clients.get(client, 0)
        if not held:
            _unlink(path)
            return
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        try:
            os.ftruncate(fd, held)
        finally:
            os.close(fd)

    def _hold(self, room, change):
        """Adds `change` bytes (perhaps fewer than none) to the room `room`
        holds, here and in this worker's files."""
        room.held += change
        self._held += change
        if room.client is not None:
            held = self._clients.get(room.client, 0) + change
            if held:
                self._clients[room.client] = held
            else:
                self._clients.pop(room.client, None)
        worker, fd = self._own_file()
        os.ftruncate(fd, self._held)
        if room.client is not None:
            self._client_file(worker, room.client)

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
        are not then."""
        if room.held + size > self.max_bytes:
            raise Full(room.held + size, self.max_bytes, retry=False)
        with self._owning:
            self._own_file()  # and with it the folder the lock file needs
        swept = False
        while True:
            known, seen = self._look()
            with try_lock(self.root / RESERVE_LOCK, RESERVE_WAIT) as held, self._owning:
                full = Full(room.held + size, self.max_bytes)
                if held:
                    full = self._fits(room, size, known, seen)
                    if full is None:
                        self._hold(room, size)
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
        with self._owning:
            size = min(size, room.held)
            if size > 0:
                self._hold(room, -size)

    def _release(self, room, written, landed):
        """Gives a call's room back; first, while some worker's look at the
        store may have been too early for the files it wrote, records them."""
        with self._owning:
            try:
                worker, fd = self._own_file()
                # A client's record also charges its files to its share
                # while they are in their grace.
                kept = self.record_age if room.client is None else max(self.record_age, self.grace)
                if written and time.time() < landed + kept:
                    record = f"{worker}.{os.urandom(8).hex()}.{written}.{int(landed * 1000)}"
                    if room.client is not None:
                        record += f".{room.client}"
                    os.close(
                        os.open(
                            self.root / RESERVED / record,
                            os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC,
                            0o600,
                        )
                    )
            finally:
                # Given back whatever failed: held for good, it would shrink
                # the store for as long as this worker lives. The memory
                # first: the files follow it at this worker's next change.
                self._hold(room, -room.held)

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
        token = _calling.set(room)
        try:
            if reserving and self.hold > 0:
                room.timer = threading.Timer(self.hold, room.trim)
                room.timer.daemon = True
                room.timer.start()
            yield room.paths
        finally:
            with contextlib.suppress(ValueError):  # ended in another context
                _calling.reset(token)
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
        """Sweeps every `interval` seconds on a daemon thread, and returns
        it; None when both limits are off. A call that finds no room in the
        store sweeps before that."""
        if self.max_age <= 0 and self.max_bytes <= 0:
            return None
        # A fork during a sweep would hand the child the sweep's lock (its
        # open file) for as long as the child lives, and every later sweep
        # would find it taken: the server's forks wait for the sweep.
        sweeping = threading.Lock()
        os.register_at_fork(
            before=sweeping.acquire, after_in_parent=sweeping.release, after_in_child=sweeping.release
        )

        def run():
            last = time.monotonic()
            while True:
                # A disk too full for a call is swept at once: readiness
                # turns every host's calls away until it has room.
                time.sleep(min(self.interval, RESCAN_AFTER))
                if time.monotonic() - last < self.interval and not too_full(disk_free(self.root)):
                    continue
                last = time.monotonic()
                # Any failure ends this sweep, never the timer: a store no
                # longer swept fills for good.
                try:
                    with sweeping:
                        self.sweep()
                except Exception:
                    log.exception("expiry sweep of %s failed", self.root)

        thread = threading.Thread(target=run, name="output-expiry", daemon=True)
        thread.start()
        return thread


# The room a call reserves for its output, by operation. Text to speech:
# a base and so much a character at the slowest speed a host asks for,
# shrinking as 1 / speed. Text that is mostly pauses or letters spelled
# one by one makes many times that: such a call takes more room as it
# writes, while the store has it, and is stopped when it has none.
TTS_ROOM = 96 * 1024
TTS_ROOM_PER_CHARACTER = 8 * 1024
# Cloning: clone_voice keeps whatever its service sends, with no bound of
# its own; the stand-in hands back at most the audio it takes in.
CLONE_ROOM = 50 << 20


def tts_room(characters, speed, slowest):
    """The room a text-to-speech call reserves: `characters` of text spoken
    at `speed`, where `slowest` is the slowest speed the host asks for."""
    return (TTS_ROOM + TTS_ROOM_PER_CHARACTER * characters) * slowest / speed
