"""The sweep: removes the store's files by age and, over its cap, the
oldest first, one sweeper at a time, never a file in its grace, a download
in progress or a file being sent."""

import fcntl
import os
import time
from dataclasses import dataclass, field
from pathlib import Path

from ..locks import try_lock
from .census import RECORD_AGE, disk_free, is_partial
from .reservations import tidy_reservations

LOCK_NAME = ".expiry.lock"
# A partial download (is_partial) still this old belongs to a writer that
# died (a killed host): no call waits that long.
STALE_PART_AGE = 6 * 3600
# Over its cap the store is trimmed to this share of it, so that a flood
# does not make every call that follows sweep again.
LOW_WATER = 0.9


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


def capacity(max_bytes, known, free):
    """What the store may hold: its cap, or less when its file system has
    no more room than `free` beyond the `known` bytes of its files. A disk
    smaller than the cap would otherwise fail the writes the cap lets in."""
    return max_bytes if free is None else min(max_bytes, known + free)


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
        reserved, swept.records = tidy_reservations(store, now, records, grace)
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
                # A call's files are dated to its answer (Store.call), so
                # `age` is the time since its client was handed the link.
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
