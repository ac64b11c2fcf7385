"""What the deployment's tests share: podman as scripts/containers runs it
on this machine (its containers.conf), and the gate that keeps these slow
tests to CI's container step (DORVANE_CONTAINERS=1), which builds the
images first (scripts/containers --build-only)."""

import os
import subprocess

import pytest

from support import ROOT

CONTAINERS_CONF = ROOT / "build" / "containers" / "containers.conf"


def pytest_collection_modifyitems(items):
    if os.environ.get("DORVANE_CONTAINERS") == "1":
        return
    skip = pytest.mark.skip(reason="the container step of CI (DORVANE_CONTAINERS=1)")
    for item in items:
        if item.path.parent == ROOT / "tests" / "deploy":
            item.add_marker(skip)


def podman(*args, timeout=60):
    environ = dict(os.environ, CONTAINERS_CONF=str(CONTAINERS_CONF))
    return subprocess.run(["podman", *args], capture_output=True, text=True, env=environ, timeout=timeout)


def inspect(name, template):
    return podman("inspect", "--format", template, name).stdout.strip()
