"""The launcher as the demo runs it (examples/stack/launch.py), in a process
of its own on free ports, with the real wait for its one round trip."""

import json
import os
import re
import socket
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from support.processes import free_port, listening


def run_launcher(launch, folder, *options, ports=None):
    ports = ports or [free_port() for _ in range(4)]
    command = [
        sys.executable,
        launch.__file__,
        "--folder",
        str(folder / "var"),
        "--site",
        str(folder / "site"),
        "--port",
        str(ports[0]),
        "--speech-port",
        str(ports[1]),
        "--transcription-port",
        str(ports[2]),
        "--tls-port",
        str(ports[3]),
        *options,
    ]
    return subprocess.run(command, capture_output=True, text=True, timeout=180), ports


def namespaces():
    listed = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    return {line.split()[0] for line in listed.splitlines() if line.startswith("dorvane-")}


@pytest.mark.real_wait
@pytest.mark.parametrize(
    "tls, machines",
    [(False, ()), (True, ()), (False, ("--hosts", "3", "--netns", "--store", "gluster"))],
    ids=["http", "https", "separate-machines-gluster"],
)
def test_a_fleet_passes_the_demo_check_from_a_closed_folder_and_nothing_is_left_running(
    launch, front_programs, tmp_path, tls, machines
):
    if machines:
        import gluster

        if why := gluster.available():
            pytest.skip(why)
    # As root's home is: started as root, nginx's workers (nobody) cannot
    # pass through it, and it stays closed.
    tmp_path.chmod(0o700)
    done, ports = run_launcher(
        launch, tmp_path, "--check", "--hosts", "2", *(["--tls"] if tls else []), *machines
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "demo check passed" in done.stdout
    assert stat.S_IMODE(tmp_path.stat().st_mode) == 0o700
    # The link came back through the front, which served the audio from the shared store.
    front = f"https://127.0.0.1:{ports[3]}" if tls else f"http://127.0.0.1:{ports[0]}"
    assert f"-> {front}/output/tts/" in done.stdout
    store = Path(re.search(r"shared output store: (\S+),", done.stdout)[1])
    assert not store.parent.exists()  # the fleet's runtime folder, removed at stop
    if machines:
        # The storage machines and the mounts went with it.
        assert "GlusterFS volume" in done.stdout
        assert str(store.parent) not in Path("/proc/self/mountinfo").read_text()
        # Its own: other runs on the machine may have namespaces of theirs.
        network = re.search(r"in network namespace (dorvane-\d+-)", done.stdout)[1]
        assert not {name for name in namespaces() if name.startswith(network)}
        assert not [
            pid
            for pid in os.listdir("/proc")
            if pid.isdigit() and str(store.parent).encode() in _cmdline(pid)
        ]
    assert not [port for port in ports if listening(port)]
    hosts = [json.loads(p.read_text()) for p in sorted((tmp_path / "var" / "fleet").glob("host-*/host.json"))]
    assert len(hosts) == (3 if machines else 2)
    for host in hosts:
        assert not listening(host["socket"])
        with pytest.raises(ProcessLookupError):
            os.killpg(host["pid"], 0)  # the whole process group, workers included


def _cmdline(pid):
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return b""


def test_a_taken_port_is_named_and_nothing_starts(launch, tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        done, _ = run_launcher(
            launch,
            tmp_path,
            "--check",
            ports=[free_port(), port, free_port(), free_port()],
        )
    assert done.returncode == 1
    assert f"port {port} is in use" in done.stderr
    assert not (tmp_path / "var").exists()
