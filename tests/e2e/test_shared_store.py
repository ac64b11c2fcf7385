"""The store shared by workers on separate machines keeps its promises as
one folder does: each test runs on one folder, then on a GlusterFS volume
replicated over two storage machines, one worker on each of two machines
with a mount of its own (gluster_mounts). The host refuses a store on a
file system that would break them."""

import os
import signal
import subprocess
import sys
import time

import gluster
import pytest
from webapp import storefs
from webapp.store import Full, Publisher, Store, hold_for_reading
from webapp.store.census import RESTAT_TURN, read_published
from webapp.store.sweep import sweep

from support.processes import wait_until

FOLDERS = ["tts", "clone"]


def written(root, name, size):
    (root / "tts").mkdir(parents=True, exist_ok=True)
    path = root / "tts" / name
    path.write_bytes(b"x" * size)
    return path


def test_a_clients_share_is_counted_across_machines(webapp, stores):
    first, second = (Store(root, FOLDERS, 0, 1000, client_share=0.5) for root in stores)
    with first.call("tts", 400, client="203.0.113.7"):
        # Its first call took 400 of its 500; another of 200 passes the
        # share, wherever it lands, while another client's fits.
        with pytest.raises(Full) as refused:
            with second.call("tts", 200, client="203.0.113.7"):
                pass
        assert refused.value.share == 500
        with second.call("tts", 200, client="198.51.100.9"):
            pass


@pytest.mark.parametrize("later, kept", [(30, True), (90, False)])
def test_a_file_is_kept_for_its_grace_by_a_sweep_on_another_machine(webapp, stores, later, kept):
    writer, sweeper = (Store(root, FOLDERS, 10, 0, grace=60) for root in stores)
    with writer.call("tts", 0) as paths:
        paths.append(written(stores[0], "a.wav", 100))
    swept = sweeper.sweep(now=time.time() + later)
    assert (stores[1] / "tts" / "a.wav").exists() == kept
    assert len(swept.removed) == (0 if kept else 1)


def test_a_file_being_sent_on_one_machine_is_kept_from_a_sweep_on_another(webapp, stores):
    written(stores[0], "sent.wav", 100)
    reading = hold_for_reading(stores[0] / "tts" / "sent.wav")
    try:
        swept = sweep(stores[1], FOLDERS, max_age=1, now=time.time() + 3600)
        assert swept.removed == [] and (stores[1] / "tts" / "sent.wav").exists()
    finally:
        os.close(reading)
    # A network mount hands the lock back a moment after the close.
    wait_until(lambda: sweep(stores[1], FOLDERS, max_age=1, now=time.time() + 3600).removed, 10, step=0.1)
    assert not (stores[1] / "tts" / "sent.wav").exists()


def test_a_masters_count_follows_what_workers_on_other_machines_write(webapp, stores, tmp_path):
    publisher = Publisher(tmp_path / "look.json", stores[0], FOLDERS)
    publisher.publish()
    path = written(stores[1], "a.wav", 300)
    publisher.publish()
    assert read_published(tmp_path / "look.json")[0] == 300
    # Replaced under its name, as a writer renames a whole file into place.
    grown = written(stores[1], ".a.wav.part", 700)
    os.rename(grown, path)
    for _ in range(round(1 / RESTAT_TURN) + 1):
        publisher.publish()
    assert read_published(tmp_path / "look.json")[0] == 700


MOUNTINFO = """\
22 27 0:21 / /proc rw,relatime - proc proc rw
27 1 254:0 / / rw,relatime - ext4 /dev/vda rw
40 27 0:50 / {point} rw,relatime - {fstype} server:/store rw
"""


@pytest.mark.parametrize(
    "fstype, allowed, refused",
    [
        ("ext4", (), None),
        ("tmpfs", (), None),
        ("nfs4", (), "per-process byte-range locks"),
        ("nfs4", ("nfs4",), None),
        ("cifs", (), "per-process byte-range locks"),
        ("fuse.sshfs", (), "one client alone"),
        ("ceph", (), "WEBAPP_STORE_FILESYSTEMS"),
        ("ceph", ("ceph",), None),
    ],
)
def test_the_host_refuses_a_store_on_a_file_system_that_would_break_it(tmp_path, fstype, allowed, refused):
    mountinfo, point = tmp_path / "mountinfo", tmp_path / "mnt"
    point.mkdir()
    mountinfo.write_text(MOUNTINFO.format(fstype=fstype, point=point))
    # The store's folder is made later: its mount is the nearest folder's.
    storefs.check(tmp_path / "mnt-elsewhere" / "output", (), mountinfo=mountinfo)
    if refused is None:
        storefs.check(point / "output", allowed, mountinfo=mountinfo)
    else:
        with pytest.raises(storefs.Refused, match=refused):
            storefs.check(point / "output", allowed, mountinfo=mountinfo)


def test_the_host_refuses_a_gluster_mount_that_caches_attributes(gluster_mounts, tmp_path):
    first, _, volume = gluster_mounts
    storefs.check(first / "output")  # mounted as the fleet mounts it
    cached = tmp_path / "cached"
    cached.mkdir()
    source = f"{volume.network.address('s1')}:/{gluster.VOLUME}"
    subprocess.run(["mount", "-t", "glusterfs", source, str(cached)], check=True)
    try:
        with pytest.raises(storefs.Refused, match="attribute-timeout"):
            storefs.check(cached / "output")
    finally:
        subprocess.run(["umount", str(cached)], check=True)


HOLDER = """
import sys, time
from webapp.store import Store

store = Store(sys.argv[1], ["tts"], 0, int(sys.argv[2]))
with store.call("tts", int(sys.argv[3])):
    print("reserved", flush=True)
    time.sleep(60)
"""


def room_for(store, size):
    try:
        with store.call("tts", size):
            return True
    except Full:
        return False


def held_until_death(root, other, die, cap=1000):
    """A worker at `root` reserves 600 of `cap` and `die`s with it held: a
    worker at `other` finds no room while it lives, then finds it free."""
    holder = subprocess.Popen(
        [sys.executable, "-c", HOLDER, str(root), str(cap), "600"],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert holder.stdout.readline() == "reserved\n"
        assert not room_for(Store(other, ["tts"], 0, cap), 600)
        die(holder)
        # The next call's sweep finds the dead worker's lock free.
        wait_until(lambda: room_for(Store(other, ["tts"], 0, cap), 600), 30, step=0.5)
    finally:
        holder.kill()
        holder.wait(10)


def test_a_reservation_holds_its_room_for_as_long_as_its_worker_lives(webapp, stores):
    # As a killed host dies: no cleanup.
    held_until_death(*stores, lambda holder: holder.send_signal(signal.SIGKILL))


def test_a_dead_machines_reservations_are_swept_by_the_others(webapp, gluster_mounts, tmp_path):
    _, other, volume = gluster_mounts
    # A machine of its own: a mount with a client of its own, which dies
    # with the holder's room reserved, as a host machine that loses power;
    # the storage gives up its locks, and with them its room.
    mount = volume.mount(1, tmp_path / "doomed")
    name = f"doomed-{os.getpid()}"
    try:
        held_until_death(
            mount / name,
            other / name,
            lambda _: [os.kill(pid, signal.SIGKILL) for pid in gluster.clients_of(mount)],
        )
    finally:
        subprocess.run(["umount", "-l", str(mount)])
