"""The bytes in an output store, as the tests and the benchmarks measure it
from outside the host: listed afresh at every reading, with none of the
host's own counting, so that a figure the host reports can be checked."""

import contextlib
from pathlib import Path
from stat import S_ISREG


def store_bytes(store, folders):
    """The bytes of the regular files in `folders` under `store` (a folder
    not there holds none)."""
    total = 0
    for folder in folders:
        for path in (Path(store) / folder).glob("*"):
            with contextlib.suppress(FileNotFoundError):  # gone since the listing
                stat = path.lstat()
                total += stat.st_size if S_ISREG(stat.st_mode) else 0
    return total
