"""Tasks run every so often on threads of the operating system's, which
gevent's patching does not reach: a run that waits on a disk holds up its
own thread alone, never a worker's event loop or a probe."""

import atexit
import contextlib
import os
import socket
import sys
import threading
import time
import traceback


def native():
    """The thread starter, the socket class and the lock allocator of the
    operating system, as they were before gevent patched them (when it has)."""
    try:
        from gevent import monkey
    except ImportError:
        monkey = None
    if monkey is not None and monkey.is_module_patched("socket"):
        return (
            monkey.get_original("_thread", "start_new_thread"),
            monkey.get_original("socket", "socket"),
            monkey.get_original("_thread", "allocate_lock"),
        )
    import _thread

    return _thread.start_new_thread, socket.socket, _thread.allocate_lock


def _start(run, name):
    try:
        from gevent import monkey
    except ImportError:
        monkey = None
    if monkey is not None and monkey.is_module_patched("threading"):
        monkey.get_original("_thread", "start_new_thread")(run, ())
    else:
        # Named, where a thread can be: in thread dumps and to the tests.
        threading.Thread(target=run, name=name, daemon=True).start()


def every(seconds, function, name, fork_waits=False, from_start=False):
    """Runs `function` now and again `seconds` after each run ends (with
    `from_start`, after each run began: one that took longer is followed at
    once), on a thread named `name`, until the returned `stop` is called or
    the interpreter ends, after the run under way: a thread cut off inside
    the module would abort the process. A run that fails is reported, and
    the next one comes. With `fork_waits`, a fork waits for the run under way."""
    allocate_lock = native()[2]
    running, woken, stopped = allocate_lock(), allocate_lock(), []
    woken.acquire()  # released by `stop`: the wait between runs ends at once
    if fork_waits:
        # A child forked during a run would keep what the run holds (the
        # sweep's lock, an open file) for as long as it lives.
        os.register_at_fork(
            before=running.acquire, after_in_parent=running.release, after_in_child=running.release
        )

    def run():
        while True:
            began = time.monotonic()
            with running:
                if stopped:
                    return
                # Any failure ends this run, never the loop: a store no
                # longer swept or counted would fill, or go stale, for good.
                try:
                    function()
                except Exception:
                    # To the error output, which gunicorn logs: the logging
                    # module's locks are gevent's under its patching.
                    print(f"the periodic task {name} failed:", file=sys.stderr, flush=True)
                    traceback.print_exc()
            wait = seconds - (time.monotonic() - began) if from_start else seconds
            if woken.acquire(timeout=max(0.0, wait)):
                return

    def stop():
        # A run held up on a disk that hangs does not hold up the exit long.
        taken = running.acquire(timeout=2)
        stopped.append(True)
        if taken:
            running.release()
        with contextlib.suppress(RuntimeError):  # stopped already
            woken.release()

    atexit.register(stop)
    _start(run, name)
    return stop
