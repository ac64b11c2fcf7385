"""A log of bounded size: the lines a process writes to its output, read
from a pipe and kept in a file that is rotated as logrotate names its
files (NAME, NAME.1 the newest before it, ... NAME.K), the oldest dropped.
However fast a server logs, and whoever makes it log, its log takes at most
K + 1 files of the given size. It ends when the last writer has closed the
pipe.

    python logsink.py LOG MAX_BYTES KEPT < pipe
"""

import logging
import logging.handlers
import os
import sys


def main(path, max_bytes, kept):
    handler = logging.handlers.RotatingFileHandler(
        path, maxBytes=int(max_bytes), backupCount=int(kept), encoding="utf-8", errors="backslashreplace"
    )
    handler.setFormatter(logging.Formatter("%(message)s"))
    for line in sys.stdin.buffer:
        record = logging.makeLogRecord({"msg": line.rstrip(b"\n").decode(errors="backslashreplace")})
        handler.emit(record)
    handler.close()


if __name__ == "__main__":
    os.umask(0o077)  # the log and its rotated files, its owner's alone
    main(*sys.argv[1:])
