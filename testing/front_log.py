"""The front's access log read back: per call id, the status it answered,
the host it went to and how often it tried again elsewhere."""

import contextlib
import datetime
import re
from pathlib import Path

from support.processes import wait_until

LOG_LINE = re.compile(
    r'\[(?P<received>[^]]+)\] "(?P<request>[^"]*)" (?P<status>\d{3}) .* upstream=(?P<upstream>\S+) '
    r".* retries=\+?(?P<retries>\d+) queue=(?P<queue>-?\d+) .* call=(?P<call>\S+)$"
)


def read(access_log):
    """call id -> the front's line of it: "status" it answered, "upstream"
    (the host it went to last, by its name at the front; "<NOSRV>" when the
    front answered itself), "retries" (tries on other hosts), "received"
    (when the front had its request, seconds of the epoch) and "moved"
    (seconds from then until its last host had it)."""
    seen = {}
    for line in Path(access_log).read_text().splitlines():
        match = LOG_LINE.search(line)
        if match and match["call"] != "-":
            received = datetime.datetime.strptime(match["received"], "%d/%b/%Y:%H:%M:%S.%f")
            seen[match["call"]] = {
                "status": int(match["status"]),
                "upstream": match["upstream"],
                "retries": int(match["retries"]),
                "received": received.replace(tzinfo=datetime.UTC).timestamp(),
                "moved": max(0, int(match["queue"])) / 1000,
            }
    return seen


def entries(access_log, calls=(), seconds=30):
    """`read`, once it holds the lines of `calls` or after `seconds`: the
    front writes a call's line once it has closed the call, which may be
    after the client has read the answer, and through its log's pipe, whose
    reader a loaded machine may keep waiting."""
    with contextlib.suppress(TimeoutError):
        wait_until(lambda: set(calls) <= read(access_log).keys(), seconds, "the calls' log lines")
    return read(access_log)


def routed(access_log, calls=(), seconds=30):
    """call id -> (status the front answered, the host it went to)."""
    return {call: (e["status"], e["upstream"]) for call, e in entries(access_log, calls, seconds).items()}


def retried(access_log, calls=(), seconds=30):
    """call id -> how many times the front tried it again elsewhere."""
    return {call: e["retries"] for call, e in entries(access_log, calls, seconds).items()}
