"""Non-blocking file locks shared by every process that opens the same path.

flock(2) locks belong to an open file description, so two threads of one
worker that each open the path exclude each other exactly as two workers, or
two hosts on one shared mount, do.
"""

import contextlib
import fcntl
import os
import time

# A waiter never blocks in flock: under a cooperative worker the holder may be
# another task of this process, which runs only while this one sleeps. On a
# network file system a try is a round trip that slows the holder: the pause doubles.
RETRY = 0.005
RETRY_MAX = 0.05


@contextlib.contextmanager
def try_lock(path, wait=0.0):
    """Yields True while holding the lock at `path`, False if another holder
    keeps it for `wait` seconds (by default: at once)."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        deadline = time.monotonic() + wait
        pause = RETRY
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    yield False
                    return
                time.sleep(min(pause, max(deadline - time.monotonic(), 0)))
                pause = min(2 * pause, RETRY_MAX)
        yield True
    finally:
        # Closing releases the lock; the file stays, so that every holder locks one inode.
        os.close(fd)
