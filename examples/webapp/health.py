"""The host's probes and metrics: /livez, /readyz (or /healthz) and
/metrics, answered on the health listener (listener.py) from what the host
knows already: no probe waits on the disk.

Liveness (is the host making progress?) is answered from memory: the
worker's event loop has turned lately (LoopClock). Readiness (can it take
calls now?) is answered from facts a thread of its own refreshes off the
probe's path (Readiness): the installation, the output folder, the store's
size. `routes` gives the listener the answers of one application.
"""

import json
import os
import time
from pathlib import Path

from . import metrics
from .periodic import every

# Seconds between a host's looks at what its readiness rests on (its
# installation, its output folder), made off the probes' path.
READY_EVERY = 1.0
# A look that has not come back for this long (hung on a disk gone away)
# leaves the host not ready.
READY_STALE = 10.0
# Seconds a worker's event loop may go without a turn before its host
# reports itself stuck: one stuck this long in a single call is not
# serving any other.
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
    taking calls (an incomplete installation, an output folder it cannot
    write: behind a balancer, the shared store, whose mount going away
    leaves a dangling link here) and the store's count. The looks run on
    threads of the operating system's (`start`), so a probe reads them from
    memory and never waits on the disk, however many files the store holds."""

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
        """Checks once here (a few looks at folders), then every READY_EVERY
        seconds on a thread of its own; the store's count is kept on
        another, so that a long count never leaves the checks stale.
        Starting again starts nothing."""
        if not self.started:
            self.started = True
            self.check()
            self.stops = [
                every(READY_EVERY, self.check, "readiness-check"),
                every(READY_EVERY, self.store.count, "store-count"),
            ]
        return self

    def stop(self):
        """Ends the looks (an application made again in one process, as in
        tests, would otherwise keep the old one's running)."""
        for stop in self.stops:
            stop()

    def answer(self):
        """(problems, figures) as of the latest look. A look that has not
        come back for READY_STALE seconds (hung on a disk gone away) fails."""
        problems = list(self.problems)
        age = time.monotonic() - self.checked
        if age > READY_STALE:
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
    """/livez, /readyz (also /healthz, its older name) and /metrics of the
    application `app`, for the health listener (`serve`): path -> function
    giving (status, content type, body). Starts the readiness looks they
    answer from. `loop` (a LoopClock) tells a stuck event loop from a busy
    one: one that has not turned for `stall` seconds fails both probes."""
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
        # From memory alone: no disk, no module call, no look at the store,
        # so that a loaded disk or a large store never reads as death.
        figures = {}
        return reply(loop_problems(figures), figures)

    def readyz():
        problems, figures = readiness.answer()
        return reply(problems + loop_problems(figures), figures)

    def metrics_text():
        body, content_type = metrics.exposition(readiness.store.counted().bytes)
        return 200, content_type, body

    return {"/livez": livez, "/readyz": readyz, "/healthz": readyz, "/metrics": metrics_text}
