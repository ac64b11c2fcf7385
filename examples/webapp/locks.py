"""Non-blocking file locks shared by every process that opens the same path.

flock(2) locks belong to an open file description, so two threads of one
worker that each open the path exclude each other exactly as two workers, or
two hosts on one shared mount, do.
"""

import contextlib
import fcntl
import os


@contextlib.contextmanager
def try_lock(path, wait=False):
    """Yields True while holding the lock at `path`, False at once if another
    holder has it; waits for it only when told to."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
        except BlockingIOError:
            yield False
            return
        yield True
    finally:
        # Closing the descriptor releases the lock; the file stays so that
        # every holder locks the same inode.
        os.close(fd)
