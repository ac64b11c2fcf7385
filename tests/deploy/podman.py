"""podman as scripts/containers runs it on this machine (its containers.conf),
for the deployment's tests."""

import os
import subprocess

from support import ROOT

CONTAINERS_CONF = ROOT / "build" / "containers" / "containers.conf"


def podman(*args, timeout=60):
    environ = dict(os.environ, CONTAINERS_CONF=str(CONTAINERS_CONF))
    return subprocess.run(["podman", *args], capture_output=True, text=True, env=environ, timeout=timeout)


def inspect(name, template):
    return podman("inspect", "--format", template, name).stdout.strip()
