"""The launcher as the demo runs it (examples/stack/launch.py), in a process
of its own on free ports, with the real wait for its one round trip."""

import json
import os
import socket
import subprocess
import sys

import pytest


def run_launcher(launch, folder, *options, ports=None):
    ports = ports or [launch.free_port() for _ in range(3)]
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
        *options,
    ]
    return subprocess.run(command, capture_output=True, text=True, timeout=180), ports


@pytest.mark.real_wait
def test_a_fleet_passes_the_demo_check_and_nothing_is_left_running(launch, open_folders):
    tmp_path = open_folders("launch")
    try:
        launch.cluster.nginx_binary()
        launch.cluster.haproxy_binary()
    except RuntimeError as e:
        pytest.skip(f"{e}")
    done, ports = run_launcher(launch, tmp_path, "--check", "--hosts", "2")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "demo check passed" in done.stdout
    # The link came back through the front, and the audio is in the shared store.
    assert f"-> http://127.0.0.1:{ports[0]}/output/tts/" in done.stdout
    assert list((tmp_path / "var" / "fleet" / "store" / "tts").glob("*.wav"))
    assert not [port for port in ports if launch.cluster.listening(port)]
    hosts = [json.loads(p.read_text()) for p in sorted((tmp_path / "var" / "fleet").glob("host-*/host.json"))]
    assert len(hosts) == 2
    for host in hosts:
        assert not launch.cluster.listening(host["socket"])
        with pytest.raises(ProcessLookupError):
            os.killpg(host["pid"], 0)  # the whole process group, workers included


def test_a_taken_port_is_named_and_nothing_starts(launch, tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        done, _ = run_launcher(
            launch, tmp_path, "--check", ports=[launch.free_port(), port, launch.free_port()]
        )
    assert done.returncode == 1
    assert f"port {port} is in use" in done.stderr
    assert not (tmp_path / "var").exists()
