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

from . import metrics
from .periodic import every

# Seconds between the looks readiness rests on.
READY_EVERY = 1.0
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
    count, as of the latest looks, which run on threads of their own."""

    def __init__(self, dorvane, store, config):
        self.dorvane, self.store, self.config = dorvane, store, config
        self.problems, self.checked = None, None
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

    def start(self):
        """Checks once now, then every READY_EVERY seconds on a thread of its
        own, and keeps the store's count on another: a long count never
        leaves the checks stale. Starting again starts nothing."""
        if not self.started:
            self.started = True
            self.check()
            self.stops = [
                every(READY_EVERY, self.check, "readiness-check"),
                every(READY_EVERY, self.store.count, "store-count"),
            ]
        return self

    def stop(self):
        """Ends the looks, which an application made again in one process would keep."""
        for stop in self.stops:
            stop()

    def answer(self):
        """(problems, figures) as of the latest look. A look that has not
        come back for the setting READY_STALE seconds (hung on a disk gone
        away) fails."""
        problems = list(self.problems)
        age = time.monotonic() - self.checked
        if age > self.config["READY_STALE"]:
            problems.append(f"the host's readiness was last looked at {age:.0f} s ago")
        counted = self.store.counted()
        # Every host shares the disk, and the sweeps free it as files pass
        # their grace: until then no call that writes output can run.
        if self.store.too_full(counted.disk_free):
            problems.append(f"the output store's disk has {counted.disk_free} bytes free, too few for a call")
        # The calls wait for the master's count, and past a while are refused.
        if counted.late is not None:
            problems.append(f"the output store has not been counted within {counted.late:.0f} s")
        figures = {
            "served_by": self.config["SERVED_BY"],
            "output_bytes": counted.bytes,
            "output_max_bytes": self.config["OUTPUT_MAX_BYTES"],
            "output_disk_free": counted.disk_free,
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
        body, content_type = metrics.exposition(readiness.store.counted().bytes)
        return 200, content_type, body

    return {"/livez": livez, "/readyz": readyz, "/healthz": readyz, "/metrics": metrics_text}
