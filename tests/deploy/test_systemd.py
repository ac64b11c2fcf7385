"""The systemd units of examples/deploy/systemd on a machine that boots
systemd (a container run with podman's --systemd=always, from
Containerfile.systemd beside this file): systemd-analyze finds nothing
wrong in them and rates each one's exposure low, a host killed is started again (Restart=on-failure), and a
host whose worker's loop stands still is restarted by the watchdog its loop
feeds, while the hosts that keep turning are left alone."""

import os
import time

import pytest

from support import ROOT
from support.processes import wait_until

from .podman import podman

IMAGE = "localhost/dorvane-systemd-test"
UNITS = ["webapp@1.service", "webapp-front.service", "webapp-files.service"]
WATCHDOG_SEC = 10
# systemd-analyze's exposure, in tenths, that no unit may pass.
EXPOSURE_MAX = 25


def show(machine, unit, prop):
    return podman("exec", machine, "systemctl", "show", "-P", prop, unit).stdout.strip()


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
    # which takes CAP_SYS_ADMIN inside the container.
    started = podman(
        "run", "-d", "--name", name, "--systemd=always", "--cap-add", "SYS_ADMIN", "--network", "none", image
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
