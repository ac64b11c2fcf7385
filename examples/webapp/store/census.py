"""Looks at the store: the bytes of its files, kept name by name between
looks (Census), and the looks a host's master publishes for its workers
(Publisher), so that a host lists the store once rather than once a worker."""

import itertools
import json
import math
import os
import time
from pathlib import Path
from stat import S_ISREG

from .. import periodic
from .reservations import read_reservations, record_age, record_names

# A worker's count of the store's files is at most this old, by default: a
# count over a network file system, which takes a round trip per file, needs
# more (the setting WEBAPP_STORE_LOOK_AGE).
RESCAN_AFTER = 5.0
RECORD_AGE = record_age(RESCAN_AFTER)
# A census reads the sizes of this many of its files again at each look, in
# turn (a file replaced under its own name keeps a stale size until then).
RESTAT_TURN = 1 / 24
# Where a host's master writes its looks at the store, in the host's
# working directory.
PUBLISHED = "store-look.json"


def is_partial(name):
    """Whether the file `name` in an output folder is a partial download:
    its writer downloads under a hidden name and renames the file once whole."""
    return name.startswith(".")


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
    return record_names(read_reservations(store)), census.bytes()


def disk_free(store):
    """The bytes the file system under `store` has free for an unprivileged
    writer, or None when it cannot tell."""
    try:
        disk = os.statvfs(store)
    except OSError:
        return None
    return disk.f_bavail * disk.f_frsize


class Publisher:
    """Looks at the store for the workers of one host and writes each look
    to `path`, where their Stores read it (`published`) as long as it is
    under `look_age` seconds old: the server's master, whose interpreter
    serves no call and no probe, lists the store once for them all."""

    def __init__(self, path, store, folders, look_age=RESCAN_AFTER):
        self.path = Path(path).absolute()
        self.store = Path(store)
        self.look_age = look_age
        self.census = Census(store, folders)
        self.stop = lambda: None

    def publish(self):
        began = time.monotonic()
        records, total = look(self.store, self.census)
        self._write(began=began, bytes=total, records=sorted(records), free=disk_free(self.store))

    def _write(self, **look_):
        making = self.path.with_name(f".{self.path.name}.{os.getpid()}")
        making.write_text(json.dumps({"pid": os.getpid(), **look_}))
        os.replace(making, self.path)

    def start(self, every=None):
        """Publishes now and again `every` seconds (by default half the look
        age) after each look began, on a thread of its own, until `stop`,
        which it returns. A look that fails is lost, not the next: the
        workers wait for it, and refuse their calls past a while."""
        if every is None:
            # Twice a look age: a count is still fresh while the next is
            # made. Timed from each look's start, a count is at its oldest
            # `every` and one look's time after it began, not `every` and two.
            every = self.look_age / 2
        # From now on the workers wait for this process's counts, also while
        # its first is under way, rather than each listing the store.
        self._write()
        self.stop = periodic.every(every, self.publish, "store-census", from_start=True)
        return self.stop


def read_count(path, max_age=RESCAN_AFTER):
    """(whether this process or its parent, the server's master whose
    workers take its counts, publishes at `path`; the look there) in one
    read. The look is (bytes, monotonic time it began, records, bytes free
    on the disk or None), or None when there is none, or none begun within
    `max_age` seconds (None: any); the monotonic clock is the machine's, the
    same in every process."""
    try:
        published = json.loads(Path(path).read_bytes())
        ours = published.get("pid") in (os.getpid(), os.getppid())
    except (OSError, ValueError, AttributeError):
        return False, None  # none yet, or written by something else
    try:
        total, began, records = int(published["bytes"]), float(published["began"]), set(published["records"])
        free = None if published.get("free") is None else int(published["free"])
    except (ValueError, KeyError, TypeError):
        return ours, None  # the master's first count is under way
    if max_age is not None and not 0 <= time.monotonic() - began < max_age:
        return ours, None
    return ours, (total, began, records, free)


def read_published(path, max_age=RESCAN_AFTER):
    """The look at `path`, as `read_count` gives it."""
    return read_count(path, max_age)[1]
