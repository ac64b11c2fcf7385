"""The host's probes and metrics: /livez, /readyz (or /healthz) and
/metrics, answered on the health listener (listener.py) from memory: no
probe waits on the disk. Liveness is the worker's event loop turning lately
(LoopClock); readiness rests on facts that threads of their own refresh off
the probe's path (Readiness).
"""

import json
import os
import time
from pathlib import Path

from . import expiry, metrics
from .listener import every

# Seconds between the looks readiness rests on.
READY_EVERY = 1.0
# A look that has not come back for this long (a disk gone away) fails readiness.
READY_STALE = 10.0
# Seconds a count of the store stands, however made, before the readiness looks count again.
COUNT_EVERY = 10.0
# Seconds without a turn of the worker's loop before the host reports itself stuck: a
# loop stuck this long in one call serves no other.
STALL = 30.0


class LoopClock:
    """When the worker's event loop last ran a turn: a host whose loop has
    not run for long is stuck, not busy. Ticks on the loop itself."""

    def __init__(self):
        self.last = time.monotonic()

    def start(self, interval=0.5):
        import gevent

        def tick():
            while True:
                self.last = time.monotonic()
                gevent.sleep(interval)

        gevent.spawn(tick)
        return self

    def lag(self):
        return time.monotonic() - self.last


class Readiness:
    """What /readyz answers from: the problems that stop this host from
    taking calls (an incomplete installation; an output folder it cannot
    write, as a shared store's mount gone away leaves it) and the store's
    size, as of the latest looks, which run on threads of their own."""

    def __init__(self, dorvane, store, config):
        self.dorvane, self.store, self.config = dorvane, store, config
        self.problems, self.checked = None, None
        self.output_bytes, self.counted = None, None
        self.disk_free = None  # bytes free on the store's disk, as of the latest count
        self.master_counts = False  # the server's master counts the store for this worker
        self.census = expiry.Census(store.root, store.folders)  # its own: another thread's
        self.started, self.stops = False, []

    def check(self):
        problems = []
        checked = self.dorvane.check_project_structure()
        if "error" in checked:
            problems.append(checked["error"])
        output = Path("output")
        if output.is_symlink() or output.exists():
            if not (output.is_dir() and os.access(output, os.W_OK | os.X_OK)):
                problems.append("the output folder is missing or not writable")
        elif not os.access(".", os.W_OK | os.X_OK):
            problems.append("the working directory is not writable")
        self.problems, self.checked = problems, time.monotonic()

    def count(self):
        self.disk_free = expiry.disk_free(self.store.root)
        # The latest count stands, the master's or a call's; where a master counts, however
        # late, the worker never lists the store for a figure.
        self.master_counts = self.store.published is not None and expiry.master_counts(self.store.published)
        published = self.store.published and expiry.read_published(self.store.published, None)
        for known, looked in (self.store.counted(), published[:2] if published else (None, 0.0)):
            if known is not None and (self.counted is None or looked > self.counted):
                self.output_bytes, self.counted = known, looked
        if self.master_counts:
            return
        if not published and (self.counted is None or time.monotonic() - self.counted >= COUNT_EVERY):
            looked = time.monotonic()
            self.output_bytes = self.census.bytes()
            self.counted = looked

    def start(self):
        """Checks once now, then every READY_EVERY seconds on a thread of its
        own, and counts on another: a long count never leaves the checks
        stale. Starting again starts nothing."""
        if not self.started:
            self.started = True
            self.check()
            self.stops = [every(READY_EVERY, self.check), every(READY_EVERY, self.count)]
        return self

    def stop(self):
        """Ends the looks, which an application made again in one process would keep."""
        for stop in self.stops:
            stop()

    def answer(self):
        """(problems, figures) as of the latest look. A look that has not
        come back for READY_STALE seconds (hung on a disk gone away) fails."""
        problems = list(self.problems)
        age = time.monotonic() - self.checked
        if age > READY_STALE:
            problems.append(f"the host's readiness was last looked at {age:.0f} s ago")
        # Every host shares the disk, and the sweeps free it as files pass
        # their grace: until then no call that writes output can run.
        if expiry.too_full(self.disk_free):
            problems.append(f"the output store's disk has {self.disk_free} bytes free, too few for a call")
        # The calls wait for the master's count, and past a while are refused.
        late = self.store.look_age + expiry.RESERVE_WAIT
        if self.master_counts and (self.counted is None or time.monotonic() - self.counted > late):
            problems.append(f"the output store has not been counted within {late:.0f} s")
        figures = {
            "served_by": self.config["SERVED_BY"],
            "output_bytes": self.output_bytes,
            "output_max_bytes": self.config["OUTPUT_MAX_BYTES"],
            "output_disk_free": self.disk_free,
        }
        return problems, figures


def routes(app, loop=None, stall=STALL):
    """/livez, /readyz (also /healthz, its older name) and /metrics of `app`
    for the health listener: path -> function giving (status, content type,
    body); starts the readiness looks. An event loop (`loop`, a LoopClock)
    that has not turned for `stall` seconds fails both probes."""
    readiness = app.extensions["webapp.readiness"].start()

    def loop_problems(figures):
        if loop is None:
            return []
        lag = loop.lag()
        figures["loop_lag_seconds"] = round(lag, 3)
        return [f"the worker's event loop has not run for {lag:.0f} s"] if lag > stall else []

    def reply(problems, figures):
        if problems:
            payload, status = dict(status="unhealthy", problems=problems, **figures), 503
        else:
            payload, status = dict(status="ok", **figures), 200
        return status, "application/json", json.dumps(payload).encode()

    def livez():
        # From memory alone: a loaded disk or a large store must never read as death.
        figures = {}
        return reply(loop_problems(figures), figures)

    def readyz():
        problems, figures = readiness.answer()
        return reply(problems + loop_problems(figures), figures)

    def metrics_text():
        body, content_type = metrics.exposition(readiness.output_bytes)
        return 200, content_type, body

    return {"/livez": livez, "/readyz": readyz, "/healthz": readyz, "/metrics": metrics_text}
