"""Starting, waiting for, stopping and killing the stack's processes: each
is started as the leader of a process group of its own, so that a server
and the workers it forked end together, and each is stopped the same way:
asked with its own signal, then killed with its group once its time is up.
"""

import fcntl
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path


def owner_only(path):
    """The file `path` opened to append, readable by its owner alone."""
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o600)
    os.fchmod(fd, 0o600)
    return open(fd, "ab")


def unix_listener(path):
    """A unix socket listening on `path`, in place of any left there, which
    its owner and its folder's group may connect to (the folder says who
    reaches it)."""
    Path(path).unlink(missing_ok=True)
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(str(path))
    os.chmod(path, 0o660)
    listener.listen(16)
    return listener


def sink_of(log, log_bound, listener=None):
    """A logsink.py keeping `log` within `log_bound` (max_bytes, kept), its
    input a pipe (its `stdin`); given `listener`, a listening unix socket,
    it takes that socket's connections' lines too, and owns it."""
    try:
        sink = subprocess.Popen(
            [sys.executable, str(Path(__file__).with_name("logsink.py")), str(log), *map(str, log_bound)]
            + ([] if listener is None else ["--listening", str(listener.fileno())]),
            stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL,
            start_new_session=True,
            pass_fds=[] if listener is None else [listener.fileno()],
        )
    finally:
        if listener is not None:
            listener.close()  # the sink's now
    try:  # room for a burst of lines while the sink waits for the CPU
        fcntl.fcntl(sink.stdin, fcntl.F_SETPIPE_SZ, 1 << 20)
    except OSError:
        pass
    return sink


def start(command, log, errors=None, log_bound=None, log_socket=None, **options):
    """`command` in a new session (its own process group), its output
    appended to the file `log`, its error output too unless `errors` names
    a file of its own. Given `log_bound` (max_bytes, kept), the output goes
    through a pipe to logsink.py, which keeps `log` within max_bytes and
    `kept` rotated files (the process's `sink`), and so does the error
    output to `errors` through a sink of its own (`error_sink`). Given
    `log_socket` too, the sink also takes the lines of every connection to
    that unix socket, which is listening before the process starts."""
    log = Path(log)
    log.parent.mkdir(parents=True, exist_ok=True)
    sink = error_sink = None
    if log_bound:
        sink = sink_of(log, log_bound, None if log_socket is None else unix_listener(log_socket))
        if errors:
            error_sink = sink_of(errors, log_bound)
    try:
        with (
            owner_only(log) if sink is None else open(os.devnull, "wb") as out,
            owner_only(errors) if errors and error_sink is None else open(os.devnull, "wb") as err,
        ):
            process = subprocess.Popen(
                command,
                stdout=out if sink is None else sink.stdin,
                stderr=(err if error_sink is None else error_sink.stdin) if errors else subprocess.STDOUT,
                start_new_session=True,
                **options,
            )
    finally:
        # The process's own ends are the pipes' only writers.
        for each in (sink, error_sink):
            if each is not None:
                each.stdin.close()
    process.sink, process.error_sink = sink, error_sink
    return process


def wait_until(ready, seconds, what="the condition", process=None, log=None, step=0.05):
    """Seconds until `ready()` held. Raises TimeoutError after `seconds`, or
    RuntimeError as soon as `process` (if given) has exited; either error
    carries the text of `log` (if given)."""

    def told(text):
        if log is not None:
            text += (
                f"; its log ({log}):\n{Path(log).read_text(errors='replace') if Path(log).exists() else ''}"
            )
        return text

    started = time.monotonic()
    while not ready():
        if process is not None and process.poll() is not None:
            raise RuntimeError(told(f"{what} exited with {process.returncode}"))
        if time.monotonic() - started >= seconds:
            raise TimeoutError(told(f"{what} was not ready after {seconds} s"))
        time.sleep(step)
    return time.monotonic() - started


def finish(process, seconds=10):
    """Waits up to `seconds` for `process` to end, then kills what is left of
    its process group (workers it left behind, or the whole group if it has
    not ended) and reaps it."""
    if process is None:
        return
    try:
        process.wait(seconds)
    except subprocess.TimeoutExpired:
        pass
    signal_group(process.pid, signal.SIGKILL)
    process.wait()
    # Its logs' sinks end with the last of the group's writers.
    for sink in (getattr(process, "sink", None), getattr(process, "error_sink", None)):
        if sink is None:
            continue
        try:
            sink.wait(seconds)
        except subprocess.TimeoutExpired:
            sink.kill()
            sink.wait()


def ask(process, sig=signal.SIGTERM):
    """Asks `process`, if it still runs, to end with `sig` (its graceful one)."""
    if process is not None and process.poll() is None:
        process.send_signal(sig)


def stop(process, sig=signal.SIGTERM, seconds=10):
    """`ask`, then `finish`."""
    ask(process, sig)
    finish(process, seconds)


def children(pid):
    """The processes `pid` started, as the kernel lists them; OSError once
    it has gone."""
    return [int(p) for p in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]


def gone(pid):
    """Whether process `pid` has ended: exited (a zombie holds no socket) or reaped."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except OSError:
        return True


def signal_group(pid, sig):
    """`sig` to every process of the group `pid` leads; False once none is left."""
    try:
        os.killpg(pid, sig)
    except ProcessLookupError:
        return False
    return True


def kill_group(pid, seconds=10):
    """SIGKILL to the whole process group `pid` leads, and returns once every
    one of its processes has ended: until the last has, the kernel still
    queues connections on the sockets they hold."""
    try:
        pids = [pid, *children(pid)]
    except OSError:
        pids = [pid]
    if not signal_group(pid, signal.SIGKILL):
        return
    wait_until(
        lambda: all(gone(p) for p in pids), seconds, f"the process group of {pid} after SIGKILL", step=0.02
    )


def listening(address, timeout=1):
    """Whether something accepts connections at `address`: a loopback port,
    an (address, port) pair or a unix socket's path."""
    if isinstance(address, int):
        address = ("127.0.0.1", address)
    family = socket.AF_INET if isinstance(address, tuple) else socket.AF_UNIX
    with socket.socket(family) as probe:
        probe.settimeout(timeout)
        try:
            return probe.connect_ex(address if family == socket.AF_INET else str(address)) == 0
        except OSError:
            return False


def free_port():
    """A loopback port nothing listens on now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
