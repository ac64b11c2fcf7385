"""The file systems the output store may live on.

The store's bookkeeping rests on three things of its file system: flock,
held against every other client of it (a worker's lock on its own file is
how the sweeps know it lives, a reader's shared lock keeps the sweep off a
file being sent); sizes and times that every client reads as the last
writer left them (a reservation is a file's size, the grace a file's time);
and a rename within a folder that others see whole. A file system that
lacks one breaks the store quietly, so the host refuses to start on it.
"""

from pathlib import Path

# One machine's own file systems: every worker is a client of the same kernel.
LOCAL = {
    "bcachefs",
    "btrfs",
    "ext2",
    "ext3",
    "ext4",
    "f2fs",
    "jfs",
    "overlay",
    "ramfs",
    "tmpfs",
    "xfs",
    "zfs",
}
GLUSTER = "fuse.glusterfs"
# A GlusterFS client must cache no attributes or names: a cached size is
# another worker's reservation as it was a second ago.
GLUSTER_OPTIONS = ("--attribute-timeout=0", "--entry-timeout=0")
REFUSED = {
    # Linux turns flock into byte-range locks, which belong to a process:
    # a worker's test of another's lock is granted against its own, and
    # closing any descriptor of a file drops a reader's lock on it.
    "nfs": "flock is emulated by per-process byte-range locks",
    "nfs4": "flock is emulated by per-process byte-range locks",
    "cifs": "flock is emulated by per-process byte-range locks",
    "smb3": "flock is emulated by per-process byte-range locks",
    # Locks that never leave the client that takes them.
    "9p": "flock is held by one client alone",
    "fuse.sshfs": "flock is held by one client alone",
}


class Refused(RuntimeError):
    """The store's file system cannot keep its promises."""


def mount_of(path, mountinfo="/proc/self/mountinfo"):
    """(mount point, file system type) of the mount that holds `path`."""
    path = str(Path(path).resolve())
    found = ("/", "")
    for line in Path(mountinfo).read_text().splitlines():
        fields = line.split()
        point = fields[4].encode().decode("unicode_escape")  # "\040" for a blank
        fstype = fields[fields.index("-") + 1]
        inside = path == point or path.startswith(point.rstrip("/") + "/")
        if inside and len(point) >= len(found[0]):
            found = (point, fstype)
    return found


def gluster_clients(point, proc="/proc"):
    """The command lines of the GlusterFS clients serving the mount at
    `point` that this process can see."""
    found = []
    for entry in Path(proc).iterdir():
        try:
            command = (entry / "cmdline").read_bytes().decode(errors="replace").split("\0")
        except OSError:
            continue
        if command and Path(command[0]).name == "glusterfs" and point in command:
            found.append(command)
    return found


def check(path, allowed=(), mountinfo="/proc/self/mountinfo", proc="/proc"):
    """Raises Refused when the store at `path` (or where it will be made)
    is on a file system that cannot keep its promises; `allowed` names
    other types the operator vouches for."""
    path = Path(path).absolute()
    while not path.exists() and path != path.parent:
        path = path.parent
    point, fstype = mount_of(path, mountinfo)
    where = f"the output store {path} is on {fstype} (mounted at {point})"
    if fstype in LOCAL or fstype in allowed:
        return
    if fstype in REFUSED:
        raise Refused(f"{where}, where {REFUSED[fstype]}: the store's reservations and locks would not hold")
    if fstype != GLUSTER:
        raise Refused(
            f"{where}, which is not known to keep flock across clients, sizes read as written and "
            "whole renames: name it in WEBAPP_STORE_FILESYSTEMS once it is known to"
        )
    for command in gluster_clients(point, proc):
        missing = [option for option in GLUSTER_OPTIONS if option not in command]
        if missing:
            raise Refused(
                f"{where}, whose client caches what other clients change ({', '.join(missing)} "
                "not set): mount it with attribute-timeout=0,entry-timeout=0"
            )
