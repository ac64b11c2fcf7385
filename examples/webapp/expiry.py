"""Expiry of old output files over the shared store, by one host at a time.

Every worker of every host runs the sweep on its own timer; a non-blocking
flock on a file in the store lets one of them sweep while the others skip
their turn, so no coordinator is needed and losing any host loses nothing.
"""

import logging
import os
import threading
import time
from pathlib import Path

import offload
from locks import try_lock

log = logging.getLogger("webapp.expiry")

LOCK_NAME = ".expiry.lock"
# Hidden files are the writers' partial downloads. One still this old
# belongs to a writer that died (a killed host): no call waits that long.
STALE_PART_AGE = 6 * 3600


def sweep(store, folders, max_age, now=None):
    """Removes the files in `folders` (relative to `store`) older than
    `max_age` seconds. Returns the removed paths, or None when another
    process holds the sweep."""
    store = Path(store)
    now = time.time() if now is None else now
    removed = []
    with try_lock(store / LOCK_NAME) as held:
        if not held:
            return None
        for folder in folders:
            try:
                entries = list(os.scandir(store / folder))
            except FileNotFoundError:
                continue
            for entry in entries:
                limit = max(max_age, STALE_PART_AGE) if entry.name.startswith(".") else max_age
                try:
                    if not entry.is_file(follow_symlinks=False):
                        continue
                    if now - entry.stat(follow_symlinks=False).st_mtime <= limit:
                        continue
                    os.unlink(entry.path)
                except FileNotFoundError:
                    continue  # gone already: a writer renamed it or another sweep took it
                removed.append(entry.path)
    return removed


def start(store, folders, max_age, interval):
    """Sweeps every `interval` seconds on a daemon thread (a greenlet under
    gevent, whose sweeps run on its thread pool: scanning a large store
    never waits, and would hold up the worker's calls in flight)."""

    def run():
        while True:
            try:
                removed = offload.run(sweep, store, folders, max_age)
            except OSError:
                log.exception("expiry sweep of %s failed", store)
            else:
                if removed:
                    log.info("expired %d output file(s) older than %g s", len(removed), max_age)
            time.sleep(interval)

    thread = threading.Thread(target=run, name="output-expiry", daemon=True)
    thread.start()
    return thread
