"""The store's file locks: a waiter waits in the lock's own queue, so that
holders that come back for it at once never pass it over, and neither a
wait given up nor a child forked meanwhile keeps the lock."""

import fcntl
import os
import threading
import time

import pytest
from webapp import locks
from webapp.locks import try_lock

from support.processes import wait_until


def churn(path, stop):
    """Holds the lock at `path` for 20 ms at a time, asking for it again
    1 ms after each release, until `stop` is set."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC)
    try:
        while not stop.is_set():
            fcntl.flock(fd, fcntl.LOCK_EX)
            time.sleep(0.02)
            fcntl.flock(fd, fcntl.LOCK_UN)
            time.sleep(0.001)
    finally:
        os.close(fd)


def test_a_waiter_is_not_passed_over_by_holders_that_come_back_at_once(tmp_path):
    path, stop = tmp_path / "lock", threading.Event()
    churners = [threading.Thread(target=churn, args=(path, stop)) for _ in range(2)]
    for churner in churners:
        churner.start()
    try:
        # Tries at intervals would meet the lock held at nearly every try.
        with try_lock(path, wait=5) as held:
            assert held
    finally:
        stop.set()
        for churner in churners:
            churner.join(10)


def sleeping_child():
    """A forked child that keeps every descriptor of this process for 5 s."""
    pid = os.fork()
    if pid == 0:
        time.sleep(5)
        os._exit(0)
    return pid


@pytest.mark.parametrize("fork", [None, "while waiting", "while holding"])
def test_no_lock_outlives_its_holder_nor_a_wait_given_up(tmp_path, fork):
    path, children = tmp_path / "lock", []
    with try_lock(path) as held:
        assert held
        with try_lock(path, wait=0.1) as late:
            assert not late  # given up: its thread still waits in the queue
            if fork == "while waiting":
                children.append(sleeping_child())
    # The wait given up is granted the lock now, and lets it go at once.
    wait_until(lambda: not locks._waiting, 5, "the waiting thread to end")
    with try_lock(path, wait=1) as again:
        assert again
        if fork == "while holding":
            children.append(sleeping_child())
    try:
        with try_lock(path) as free:
            assert free
    finally:
        for pid in children:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
