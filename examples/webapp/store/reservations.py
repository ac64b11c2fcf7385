"""The reservations folder: every worker's room in the store, the room its
calls hold for each client, the records of calls just ended, and the
removal of what no worker needs any more."""

import contextlib
import fcntl
import hashlib
import os
import time
from dataclasses import dataclass
from pathlib import Path

# Held while a worker counts the room taken and adds its call's.
RESERVE_LOCK = ".reserve.lock"
RESERVED = ".reserved"
# How long a call waits for its turn to count the room before it is refused,
# by default: on a network file system each count is a few round trips to
# the storage, longer when it loses packets, and a burst of calls queues
# (the setting WEBAPP_STORE_RESERVE_WAIT).
RESERVE_WAIT = 10.0
# How far apart the clocks of the hosts on one store may be.
CLOCK_SLACK = 1.0


def record_age(look_age, reserve_wait=RESERVE_WAIT):
    """How long the record of a call that ended is kept, where counts may be
    `look_age` seconds old and a call waits up to `reserve_wait` for its
    turn: past it, every worker's look at the store, however late its count
    of the room, began after the files it stands for had landed (the
    record's time is the writer's clock, the sweep that removes it reads
    its own)."""
    return look_age + reserve_wait + 2 * CLOCK_SLACK


# The folder holds four kinds of file, told apart by their names
# (Reservation.parse): a worker's file, `{worker}`, whose size is the room
# its calls in flight hold; the room they hold for one client address,
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

    @staticmethod
    def name_of(kind, worker, client="", written=0, landed=0.0):
        """The name of a file of `kind` in the reservations folder, as
        `parse` reads it back; each record's name is new."""
        if kind == WORKER:
            return worker
        if kind == MAKING:
            return f".{worker}"
        if kind == CLIENT:
            return f"{worker}.{client}"
        record = f"{worker}.{os.urandom(8).hex()}.{written}.{int(landed * 1000)}"
        return f"{record}.{client}" if client else record

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


def read_reservations(store):
    """The files in the store's reservations folder, as Reservations."""
    try:
        names = os.listdir(Path(store) / RESERVED)
    except (FileNotFoundError, NotADirectoryError):
        return []  # no call has reserved room there yet
    return [entry for entry in map(Reservation.parse, names) if entry is not None]


def record_names(entries):
    return {entry.name for entry in entries if entry.kind == RECORD}


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
    for entry in read_reservations(store):
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


def unlink(path):
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)


def tidy_reservations(store, now, kept, grace=0.0):
    """Removes the files of workers that died and the records no worker
    needs any more (a client's call's, once out of the `grace` as well);
    returns the bytes the calls in flight hold and the records there were.
    A sweep's own count of the files that follows includes what the records
    stand for."""
    folder = Path(store) / RESERVED
    entries = read_reservations(store)
    held = 0
    living_workers = set()
    for entry in entries:
        if entry.kind == WORKER:
            living = _living_bytes(folder / entry.name)
            if living is None:
                unlink(folder / entry.name)
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
                    unlink(path)
        elif entry.kind == RECORD:
            if entry.landed + (max(kept, grace) if entry.client else kept) < now:
                unlink(path)
        elif entry.kind == MAKING:
            # A worker's file is made under a hidden name and renamed once
            # locked; one left so is a worker's that died in between.
            with contextlib.suppress(OSError):
                if _living_bytes(path) is None and now - os.stat(path).st_mtime > kept:
                    unlink(path)
    return held, record_names(entries)
