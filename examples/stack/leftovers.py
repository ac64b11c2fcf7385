"""The runtime folders (dorvane-fleet-*) of fleets that died without
stopping, killed with SIGKILL or with their machine: a new fleet removes
them. A folder is removed only when nothing says its fleet lives: its
launcher's pid file names no live process, no live process holds a file,
a socket or its working directory in it, nothing is mounted in it, and it
is older than a fleet takes to lay itself out. Links are never followed."""

import os
import shutil
import stat
import tempfile
import time
from pathlib import Path

PREFIX = "dorvane-fleet-"
PID_FILE = "fleet.pid"
# A fleet's folder younger than this may be one being laid out, with no
# process in it yet.
YOUNGEST = 120


def mark(runtime):
    """Says in `runtime` that this process's fleet lives there."""
    (runtime / PID_FILE).write_text(str(os.getpid()))


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def within(path, folder):
    return path == folder or path.startswith(folder + "/")


def held(folders):
    """The folders of `folders` (their paths as text) in which a live process
    holds an open file, a listening unix socket, its working directory, or
    a mount."""
    found = set()

    def note(path):
        for folder in folders:
            if within(path, folder):
                found.add(folder)

    for line in Path("/proc/net/unix").read_text().splitlines()[1:]:
        fields = line.split()
        if len(fields) >= 8:
            note(fields[7])
    for line in Path("/proc/self/mounts").read_text().splitlines():
        note(line.split()[1].replace("\\040", " "))
    for process in Path("/proc").iterdir():
        if not process.name.isdigit():
            continue
        try:
            note(os.readlink(process / "cwd"))
            for fd in (process / "fd").iterdir():
                note(os.readlink(fd))
        except OSError:  # gone, or not ours to read
            continue
    return found


def remove_dead(parent=None, now=None):
    """Removes the runtime folders under `parent` (the system's temporary
    folder) of this user's fleets that died; returns those removed."""
    parent = Path(parent or tempfile.gettempdir())
    now = time.time() if now is None else now
    candidates = []
    for entry in parent.glob(PREFIX + "*"):
        try:
            found = entry.lstat()
        except FileNotFoundError:
            continue
        # A link, another user's folder or a fresh one is left alone.
        if not stat.S_ISDIR(found.st_mode) or found.st_uid != os.geteuid() or now - found.st_mtime < YOUNGEST:
            continue
        try:
            pid = int((entry / PID_FILE).read_text())
        except (OSError, ValueError):
            pid = None
        if pid is not None and alive(pid):
            continue
        candidates.append(str(entry))
    if not candidates:
        return []
    live = held(candidates)
    removed = [Path(folder) for folder in candidates if folder not in live]
    for folder in removed:
        # rmtree removes links, never what they point at.
        shutil.rmtree(folder, ignore_errors=True)
    return removed
