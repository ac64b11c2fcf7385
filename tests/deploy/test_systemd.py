"""The systemd units of examples/deploy/systemd on a machine that boots
systemd (a container run with podman's --systemd=always, from
Containerfile.systemd beside this file, laid out as the units ask):
systemd-analyze finds nothing wrong in them and rates each one's exposure
low; the front and the file server run under their sandboxes, as no user of
root's, and the front answers the hosts' calls and the store's files; a
host killed is started again (Restart=on-failure), and a host whose
worker's loop stands still is restarted by the watchdog its loop feeds,
while the hosts that keep turning are left alone."""

import json
import os
import time

import pytest

from support import ROOT
from support.processes import wait_until

from .podman import podman

IMAGE = "localhost/dorvane-systemd-test"
FRONT, FILES = "webapp-front.service", "webapp-files.service"
UNITS = ["webapp@1.service", FRONT, FILES]
WATCHDOG_SEC = 10
# systemd-analyze's exposure, in tenths, that no unit may pass.
EXPOSURE_MAX = 25
# The front's address, from the settings the image installs as front.env.
SETTINGS = dict(
    line.split("=", 1)
    for line in (ROOT / "examples/deploy/front.env").read_text().splitlines()
    if "=" in line and not line.startswith("#")
)
# One GET through the front, printed as [status, headers, body].
GET = """
import http.client, json, sys
conn = http.client.HTTPConnection(sys.argv[1], int(sys.argv[2]), timeout=10)
conn.request("GET", sys.argv[3])
answer = conn.getresponse()
headers = {name.lower(): value for name, value in answer.getheaders()}
print(json.dumps([answer.status, headers, answer.read().decode("latin-1")]))
"""


def show(machine, unit, prop):
    return podman("exec", machine, "systemctl", "show", "-P", prop, unit).stdout.strip()


def journal(machine, unit):
    return podman("exec", machine, "journalctl", "-u", unit, "--no-pager", "-o", "cat").stdout


def processes(machine, unit):
    """(pid, user) of each process in `unit`."""
    listed = podman("exec", machine, "ps", "-eo", "pid=,user:32=,unit:64=").stdout
    return [
        (pid, user) for pid, user, owner in (line.split() for line in listed.splitlines()) if owner == unit
    ]


def get(machine, path):
    ran = podman("exec", machine, "python3", "-c", GET, SETTINGS["ADDRESS"], SETTINGS["PORT"], path)
    assert ran.returncode == 0, ran.stderr
    return json.loads(ran.stdout)


@pytest.fixture(scope="module")
def image():
    built = podman(
        "build", "--quiet", "--format", "docker", "--network", "host",
        "-f", "tests/deploy/Containerfile.systemd", "-t", IMAGE, str(ROOT), timeout=600,
    )  # fmt: skip
    assert built.returncode == 0, built.stderr
    return IMAGE


@pytest.fixture(scope="module")
def machine(image):
    name = f"dorvane-systemd-{os.getpid()}"
    # systemd sets up the units' namespaces (ProtectSystem, PrivateTmp, ...),
    # which takes CAP_SYS_ADMIN inside the container; the file server's
    # network namespace (PrivateNetwork) takes CAP_NET_ADMIN too, to bring
    # its loopback up, or systemd runs it in the machine's.
    started = podman(
        "run", "-d", "--name", name, "--systemd=always", "--cap-add", "SYS_ADMIN", "--cap-add", "NET_ADMIN",
        "--network", "none", image,
    )  # fmt: skip
    assert started.returncode == 0, started.stderr
    try:
        wait_until(
            lambda: all(show(name, f"webapp@{i}.service", "ActiveState") == "active" for i in (1, 2)),
            60, "the hosts under systemd", step=0.5,
        )  # fmt: skip
        yield name
    finally:
        podman("rm", "-f", "-t", "0", name)


def test_units_verify(image):
    # The image's systemd, the release the units are written for.
    verified = podman(
        "run", "--rm", "--network", "none", "--entrypoint", "sh", image,
        "-c", f"systemd-analyze verify {' '.join(UNITS)} 2>&1",
    )  # fmt: skip
    assert verified.returncode == 0 and not verified.stdout.strip(), verified.stdout


@pytest.mark.parametrize("unit", UNITS)
def test_units_expose_little(image, unit):
    # systemd's own rating of what a unit's process may reach, out of 10.
    rated = podman(
        "run", "--rm", "--network", "none", "--entrypoint", "sh", image,
        "-c", f"systemd-analyze security --offline=true --threshold={EXPOSURE_MAX} {unit} 2>&1",
    )  # fmt: skip
    assert rated.returncode == 0, rated.stdout


@pytest.fixture(scope="module")
def front(machine):
    """The machine once the front and the file server run, and the front
    has a host to send a call to."""
    try:
        wait_until(
            lambda: all(show(machine, unit, "ActiveState") == "active" for unit in (FRONT, FILES)),
            30, "the front and the file server under systemd", step=0.5,
        )  # fmt: skip
    except TimeoutError as error:
        pytest.fail(f"{error}\n{journal(machine, FRONT)}\n{journal(machine, FILES)}")
    wait_until(
        lambda: get(machine, "/api/status")[0] == 200, 30, "a host's answer through the front", step=0.5
    )
    return machine


@pytest.mark.parametrize("unit", [FRONT, FILES])
def test_front_and_files_run_sandboxed_unprivileged(front, unit):
    assert show(front, unit, "ActiveState") == "active"
    # systemd names each sandbox it could not set up, and runs on without it.
    assert "proceeding without" not in journal(front, unit)
    users = [user for _, user in processes(front, unit)]
    # A master and its worker, neither of them root's.
    assert len(users) >= 2 and "root" not in users, users
    if unit == FRONT:
        assert set(users) == {"haproxy"}


def test_front_sends_calls_to_each_hosts_socket(front):
    answers = [get(front, "/api/status") for _ in range(4)]
    assert [(status, json.loads(body)) for status, _, body in answers] == [(200, {"status": True})] * 4
    # The fewest calls first, in turn among equals: both hosts answer.
    served = {headers["x-served-by"].rsplit(":", 1)[-1] for _, headers, _ in answers}
    assert served == {"/run/webapp-1/calls.sock", "/run/webapp-2/calls.sock"}


def test_front_serves_a_stored_file_from_the_file_server(front):
    # Written as a host writes its output, into its output/, the store.
    name, content = f"systemd-{os.getpid()}.wav", os.urandom(32).hex()
    write = "import pathlib, sys; p = pathlib.Path(sys.argv[1]); p.parent.mkdir(exist_ok=True); p.write_text(sys.argv[2])"
    written = podman(
        "exec", "--user", "webapp", front, "python3", "-c", write, f"/var/lib/webapp/1/output/tts/{name}", content
    )  # fmt: skip
    assert written.returncode == 0, written.stderr
    status, headers, body = get(front, f"/output/tts/{name}")
    assert (status, body) == (200, content), headers
    # nginx, not a host's own file route, answered it.
    request = f"GET /output/tts/{name} "

    def logged():
        return next((line for line in journal(front, FRONT).splitlines() if request in line), None)

    wait_until(logged, 10, "the front's log line of the download", step=0.2)
    assert "backend=files" in logged()


def test_front_reloaded_keeps_serving(front):
    before = {pid for pid, _ in processes(front, FRONT)}
    reloaded = podman("exec", front, "systemctl", "reload", FRONT)
    assert reloaded.returncode == 0, reloaded.stderr + journal(front, FRONT)
    assert show(front, FRONT, "ActiveState") == "active"
    # The master starts its new worker once the command has returned.
    wait_until(lambda: {pid for pid, _ in processes(front, FRONT)} - before, 10, "the new worker", step=0.2)
    status, _, body = get(front, "/api/status")
    assert (status, json.loads(body)) == (200, {"status": True})


def test_killed_host_restarted(machine):
    unit = "webapp@1.service"
    restarts, pid = int(show(machine, unit, "NRestarts")), show(machine, unit, "MainPID")
    podman("exec", machine, "kill", "-KILL", pid)
    killed = time.monotonic()
    wait_until(
        lambda: show(machine, unit, "ActiveState") == "active" and show(machine, unit, "MainPID") not in ("0", pid),
        30, "the restart", step=0.2,
    )  # fmt: skip
    print(f"{unit} restarted by systemd {time.monotonic() - killed:.1f} s after the kill")
    assert int(show(machine, unit, "NRestarts")) == restarts + 1


def test_stuck_worker_restarted_by_watchdog(machine):
    unit, other = "webapp@2.service", "webapp@1.service"
    # Fed by their loops, the hosts have outlived the watchdog's time.
    time.sleep(WATCHDOG_SEC + 2)
    assert show(machine, unit, "NRestarts") == "0"
    master = show(machine, unit, "MainPID")
    worker = podman("exec", machine, "pgrep", "-P", master).stdout.split()[0]
    restarts_other = show(machine, other, "NRestarts")
    podman("exec", machine, "kill", "-STOP", worker)
    stopped = time.monotonic()
    wait_until(
        lambda: show(machine, unit, "NRestarts") == "1" and show(machine, unit, "ActiveState") == "active",
        WATCHDOG_SEC + 20, "the watchdog's restart", step=0.5,
    )  # fmt: skip
    print(f"{unit} restarted by its watchdog {time.monotonic() - stopped:.1f} s after its worker stopped")
    journal = podman("exec", machine, "journalctl", "-u", unit, "--no-pager").stdout
    assert "Watchdog timeout" in journal
    assert show(machine, other, "NRestarts") == restarts_other
