"""The store's file locks: a waiter waits in the lock's own queue, so that
holders that come back for it at once never pass it over, and a wait given
up keeps no lock."""

import fcntl
import os
import subprocess
import sys
import threading
import time

from webapp import locks
from webapp.locks import try_lock

from support.processes import wait_until


def churn(path, stop):
    """Holds the lock at `path` for 50 ms at a time, asking for it again
    1 ms after each release, until `stop` is set."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC)
    try:
        while not stop.is_set():
            fcntl.flock(fd, fcntl.LOCK_EX)
            time.sleep(0.05)
            fcntl.flock(fd, fcntl.LOCK_UN)
            time.sleep(0.001)
    finally:
        os.close(fd)


def test_a_waiter_is_not_passed_over_by_holders_that_come_back_at_once(tmp_path):
    path, stop = tmp_path / "lock", threading.Event()
    # At each release another churner is waiting: the lock is free for moments only.
    churners = [threading.Thread(target=churn, args=(path, stop)) for _ in range(4)]
    for churner in churners:
        churner.start()
    try:
        # Tries at intervals would meet the lock held at nearly every try.
        with try_lock(path, wait=locks.QUEUE_AFTER + 3) as held:
            assert held
    finally:
        stop.set()
        for churner in churners:
            churner.join(10)


HOLD = "import fcntl, os, sys; fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT); fcntl.flock(fd, fcntl.LOCK_EX); print(flush=True); sys.stdin.read()"


def test_a_wait_given_up_keeps_no_lock_once_the_holder_lets_go(tmp_path):
    path = tmp_path / "lock"
    # The holder, another process: it lets go when its input closes.
    holder = subprocess.Popen(
        [sys.executable, "-c", HOLD, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE
    )
    try:
        holder.stdout.readline()
        with try_lock(path, wait=locks.QUEUE_AFTER + 0.2) as late:
            assert not late and locks._waiting  # given up: its thread still waits in the queue
        holder.stdin.close()
        holder.wait(10)
        # The wait given up is granted the lock now, and lets it go at once.
        wait_until(lambda: not locks._waiting, 5, "the waiting thread to end")
        with try_lock(path) as free:
            assert free
    finally:
        holder.kill()
        holder.wait()
