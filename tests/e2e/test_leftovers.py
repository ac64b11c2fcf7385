"""A new fleet removes the runtime folders of fleets that died, and only
those: never a live fleet's, however it shows it lives, and never what a
link points at."""

import contextlib
import os
import socket
import subprocess

import leftovers
import pytest

OLD = leftovers.YOUNGEST + 60


def dead_pid():
    ended = subprocess.Popen(["true"])
    ended.wait()
    return ended.pid


@contextlib.contextmanager
def nothing(folder):
    yield


@contextlib.contextmanager
def its_launcher_lives(folder):
    (folder / leftovers.PID_FILE).write_text(str(os.getpid()))
    yield


@contextlib.contextmanager
def a_process_works_in_it(folder):
    process = subprocess.Popen(["sleep", "60"], cwd=folder)
    try:
        yield
    finally:
        process.kill()
        process.wait()


@contextlib.contextmanager
def a_process_holds_a_file(folder):
    with open(folder / "access.log", "ab"):
        yield


@contextlib.contextmanager
def a_socket_listens_in_it(folder):
    (folder / "sockets").mkdir()
    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(str(folder / "sockets" / "admin.sock"))
        listener.listen(1)
        yield


@pytest.mark.parametrize(
    "state, age, removed",
    [
        (nothing, OLD, True),
        (nothing, 0, False),  # one being laid out
        (its_launcher_lives, OLD, False),
        (a_process_works_in_it, OLD, False),
        (a_process_holds_a_file, OLD, False),
        (a_socket_listens_in_it, OLD, False),
    ],
    ids=["dead", "young", "launcher-lives", "cwd", "open-file", "listening-socket"],
)
def test_only_a_dead_fleets_folder_is_removed(tmp_path, state, age, removed):
    folder = tmp_path / f"{leftovers.PREFIX}x"
    folder.mkdir()
    (folder / "store" / "tts").mkdir(parents=True)
    (folder / leftovers.PID_FILE).write_text(str(dead_pid()))
    with state(folder):
        stamp = os.stat(folder).st_mtime - age
        os.utime(folder, (stamp, stamp))
        assert leftovers.remove_dead(tmp_path) == ([folder] if removed else [])
        assert folder.exists() != removed


def test_links_are_removed_and_never_followed(tmp_path):
    outside = tmp_path / "outside"
    (outside / "keep").mkdir(parents=True)
    (outside / "keep" / "file").write_text("kept")
    # A link in place of a folder, and one inside a dead fleet's folder.
    planted = tmp_path / f"{leftovers.PREFIX}planted"
    planted.symlink_to(outside)
    folder = tmp_path / f"{leftovers.PREFIX}dead"
    folder.mkdir()
    (folder / "store").symlink_to(outside / "keep")
    stamp = os.stat(folder).st_mtime - OLD
    for path in (planted, folder):
        os.utime(path, (stamp, stamp), follow_symlinks=False)
    assert leftovers.remove_dead(tmp_path) == [folder]
    assert planted.is_symlink() and (outside / "keep" / "file").read_text() == "kept"
