"""A log of bounded size: the lines processes write, kept in a file that is
rotated as logrotate names its files (NAME, NAME.1 the newest before it,
... NAME.K), the oldest dropped. However fast a server logs, and whoever
makes it log, its log takes at most K + 1 files of the given size.

The lines come from a pipe on its input and, given `--listening FD` (a
listening unix socket it inherited), from every connection made to that
socket: HAProxy forwards its log ring over one. It ends when the last
writer has closed the pipe and the last connection has closed.

    python logsink.py LOG MAX_BYTES KEPT [--listening FD] < pipe
"""

import argparse
import logging
import logging.handlers
import os
import selectors
import socket
import sys


def main(path, max_bytes, kept, listening=None):
    handler = logging.handlers.RotatingFileHandler(
        path, maxBytes=max_bytes, backupCount=kept, encoding="utf-8", errors="backslashreplace"
    )
    handler.setFormatter(logging.Formatter("%(message)s"))

    def emit(line):
        handler.emit(logging.makeLogRecord({"msg": line.decode(errors="backslashreplace")}))

    selector = selectors.DefaultSelector()
    # Each source's line so far, by its descriptor: a read may end within a line.
    unfinished = {sys.stdin.fileno(): b""}
    connections = {}
    selector.register(sys.stdin.fileno(), selectors.EVENT_READ)
    server = None
    if listening is not None:
        server = socket.socket(fileno=listening)
        server.setblocking(False)
        selector.register(server, selectors.EVENT_READ)

    def accept():
        """Takes every connection waiting; whether there was one."""
        taken = False
        while True:
            try:
                connection, _ = server.accept()
            except BlockingIOError:
                return taken
            connection.setblocking(True)
            selector.register(connection.fileno(), selectors.EVENT_READ)
            connections[connection.fileno()] = connection
            unfinished[connection.fileno()] = b""
            taken = True

    # Once every source has closed, a connection may still wait unaccepted,
    # its writer gone: it is read too.
    while unfinished or (server is not None and accept()):
        for key, _ in selector.select():
            if key.fileobj is server:
                accept()
                continue
            fd = key.fileobj
            chunk = os.read(fd, 1 << 16)
            lines = (unfinished[fd] + chunk).split(b"\n")
            if chunk:
                unfinished[fd] = lines.pop()
            else:
                selector.unregister(fd)
                del unfinished[fd]
                if fd in connections:
                    connections.pop(fd).close()
                if not lines[-1]:
                    lines.pop()
            for line in lines:
                emit(line)
    handler.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("log")
    parser.add_argument("max_bytes", type=int)
    parser.add_argument("kept", type=int)
    parser.add_argument("--listening", type=int, metavar="FD")
    arguments = parser.parse_args()
    os.umask(0o077)  # the log and its rotated files, its owner's alone
    main(arguments.log, arguments.max_bytes, arguments.kept, arguments.listening)
