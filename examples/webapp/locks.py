"""File locks shared by every process that opens the same path.

flock(2) locks belong to an open file description, so two threads of one
worker that each open the path exclude each other exactly as two workers, or
two hosts on one shared mount, do.
"""

import contextlib
import fcntl
import os
import time

from .periodic import native

# A waiter tries again at intervals, which double, for QUEUE_AFTER seconds:
# a lock held for a moment, as on a local disk, costs no thread. Then it
# waits in the lock's own queue, the kernel's or the network file system's,
# where tries at intervals would let the newest waiter, trying most often,
# starve the oldest. It blocks on a thread of the operating system's, never
# on a worker's event loop, whose other task may hold the lock; the call
# looks at that thread at intervals, which double up to POLL_MAX.
RETRY, RETRY_MAX = 0.005, 0.05
QUEUE_AFTER = 1.0
POLL, POLL_MAX = 0.002, 0.02
# Past this many waiting threads in one process (waits given up on whose
# holder keeps the lock), a waiter only tries at intervals.
MAX_WAITERS = 64
_waiting = []  # one entry a thread waiting in a queue
os.register_at_fork(after_in_child=_waiting.clear)  # its threads stay behind


@contextlib.contextmanager
def try_lock(path, wait=0.0):
    """Yields True while holding the lock at `path`, False if another holder
    keeps it for `wait` seconds (by default: at once)."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        yield _take(fd, wait)
    finally:
        # Closing releases the lock; the file stays, so that every holder locks one inode.
        os.close(fd)


def _take(fd, wait):
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        if wait <= 0:
            return False
    deadline = time.monotonic() + wait
    if _retry(fd, min(deadline, time.monotonic() + QUEUE_AFTER)):
        return True
    if len(_waiting) >= MAX_WAITERS:
        return _retry(fd, deadline)
    return time.monotonic() < deadline and _Waiter(fd).wait(deadline)


class _Waiter:
    """A blocking flock on the open file of `fd`, on a thread of its own,
    through a descriptor of its own: the lock it takes is the caller's, and
    one it takes after the caller gave up goes at once."""

    def __init__(self, fd):
        start_thread, _, allocate_lock = native()
        self._guard = allocate_lock()
        self._outcome = None  # True, or the OSError the wait ended with
        self._given_up = False
        queued = os.dup(fd)
        _waiting.append(True)
        start_thread(self._queue, (queued,))

    def _queue(self, fd):
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX)
                outcome = True
            except OSError as e:
                outcome = e
            with self._guard:
                self._outcome = outcome
                unwanted = self._given_up and outcome is True
            if unwanted:
                # Let go by name: a child forked meanwhile shares the open file.
                with contextlib.suppress(OSError):
                    fcntl.flock(fd, fcntl.LOCK_UN)
        finally:
            os.close(fd)
            _waiting.pop()

    def wait(self, deadline):
        pause = POLL
        while True:
            with self._guard:
                if self._outcome is not None:
                    break
                if time.monotonic() >= deadline:
                    self._given_up = True
                    return False
            time.sleep(min(pause, max(deadline - time.monotonic(), 0)))
            pause = min(2 * pause, POLL_MAX)
        if self._outcome is not True:
            raise self._outcome
        return True


def _retry(fd, deadline):
    pause = RETRY
    while time.monotonic() < deadline:
        time.sleep(min(pause, max(deadline - time.monotonic(), 0)))
        pause = min(2 * pause, RETRY_MAX)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            pass
    return False
