"""The output store shared by every worker of every host: the room each
call that writes output reserves in it before the module runs, the one
count of its size, and the expiry of its files.

A call reserves room for its output (holdings.py) against the cap, counted
across every worker through the files each keeps in `.reserved` under a
flock on a file in the store (reservations.py); it takes more as it
writes, or is stopped with Full (bound.py). How big the store is has one
answer per worker, at most `look_age` seconds old (count.py), which its
calls, its readiness and its metrics ask: a host's master lists the store
for its workers (census.py), which then never list it themselves. Files go
by age and, over the cap, the oldest first (sweep.py), one sweeper at a
time by a flock: each master on its timer, and a worker whose call finds
no room, so that no coordinator is needed and losing a host loses nothing.
A file in its grace (dated to its call's answer), a partial download and a
file being sent stay; a worker's flock on its own file tells the sweeps it
lives."""

from .bound import Busy, Full, Unreachable, opener
from .census import PUBLISHED, RESCAN_AFTER, Publisher, is_partial
from .count import Uncounted
from .reservations import RESERVE_WAIT
from .store import CLIENT_SHARE, GRACE, HOLD, INTERVAL, Store
from .sweep import hold_for_reading

__all__ = [
    "CLIENT_SHARE",
    "GRACE",
    "HOLD",
    "INTERVAL",
    "PUBLISHED",
    "RESCAN_AFTER",
    "RESERVE_WAIT",
    "Busy",
    "Full",
    "Publisher",
    "Store",
    "Uncounted",
    "Unreachable",
    "hold_for_reading",
    "is_partial",
    "opener",
]
