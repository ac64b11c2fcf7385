"""The stack's processes: their groups killed whole, their logs kept whole."""

import fcntl
import struct
import subprocess
import sys
import termios
import textwrap

import pytest

from support import processes


def test_killing_a_group_ends_every_process_of_it_and_a_gone_group_is_no_error():
    leader = subprocess.Popen(["sh", "-c", "sleep 60 & sleep 60; wait"], start_new_session=True)
    processes.wait_until(lambda: len(processes.children(leader.pid)) == 2, 10, "the group's two sleeps")
    members = [leader.pid, *processes.children(leader.pid)]
    processes.kill_group(leader.pid)
    assert all(processes.gone(pid) for pid in members)
    leader.wait()
    ended = subprocess.Popen(["true"], start_new_session=True)
    ended.wait()
    processes.kill_group(ended.pid)  # no group left to kill


def test_a_logs_sink_keeps_whole_lines_from_its_pipe_and_its_connections_until_all_have_closed(tmp_path):
    # Two connections and the pipe write their lines in pieces, interleaved,
    # and the writer ends without closing its connections.
    writer = textwrap.dedent("""
        import socket, sys
        one, two = socket.socket(socket.AF_UNIX), socket.socket(socket.AF_UNIX)
        one.connect(sys.argv[1])
        one.sendall(b"first ha")
        print("from the pipe", flush=True)
        one.sendall(b"lf\\nlast without an end")
        two.connect(sys.argv[1])
        two.sendall(b"second half\\n")
        """)
    log, sock = tmp_path / "front.log", tmp_path / "log.sock"
    writing = processes.start(
        [sys.executable, "-c", writer, str(sock)], log, log_bound=(1 << 20, 1), log_socket=sock
    )
    processes.finish(writing)
    assert writing.returncode == 0 and writing.sink.returncode == 0
    assert sorted(log.read_text().splitlines()) == [
        "first half",
        "from the pipe",
        "last without an end",
        "second half",
    ]


@pytest.mark.parametrize(
    "pieces",
    [[b"first ha", b"lf\n"], [b"first half", b"\nsecond\n"], [b"first half\nsec", b"ond\n"]],
    ids=["within-a-line", "before-its-end", "within-the-next"],
)
def test_a_line_that_reaches_the_sink_in_two_reads_is_logged_whole(tmp_path, pieces):
    log = tmp_path / "out.log"
    sink = processes.sink_of(log, (1 << 20, 1))

    def unread():
        return struct.unpack("i", fcntl.ioctl(sink.stdin, termios.FIONREAD, b"\0" * 4))[0]

    for piece in pieces:
        sink.stdin.write(piece)
        sink.stdin.flush()
        # The next piece goes only once the sink has read this one.
        processes.wait_until(lambda: unread() == 0, 10, "the sink's read")
    sink.stdin.close()
    assert sink.wait(10) == 0
    assert log.read_bytes() == b"".join(pieces)


def test_a_bounded_processs_error_output_is_bounded_too(tmp_path):
    writer = "import sys\nfor i in range(200): print('e' * 999, file=sys.stderr)\nprint('out')"
    log, errors = tmp_path / "out.log", tmp_path / "out.err"
    writing = processes.start([sys.executable, "-c", writer], log, errors, log_bound=(20_000, 1))
    processes.finish(writing)
    assert log.read_text() == "out\n"
    kept = sorted(tmp_path.glob("out.err*"))
    assert [p.name for p in kept] == ["out.err", "out.err.1"]
    assert all(p.stat().st_size <= 20_000 and p.stat().st_mode & 0o077 == 0 for p in kept)
