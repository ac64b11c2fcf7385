"""The Kubernetes manifests' demo overlay (examples/deploy/kubernetes) as
podman's `kube play` runs it: rendered by kustomize, played on a network of
the test's own, a round trip through the front, and nothing left once it
is taken down. podman 4.3 skips the Services, the disruption budget, the
network policy and the readiness and startup probes; `for_podman` changes
what it runs otherwise than a cluster (no cluster DNS: the front names the
one host's pod; no port published but the front's, on 127.0.0.1; the
hosts' pods first, as fsGroup is not applied). Slow, and needing podman
and root: CI's container step (DORVANE_CONTAINERS=1)."""

import os
import subprocess
import sys
import urllib.request
from pathlib import Path

import pytest

from support import ROOT
from support.processes import free_port, wait_until

from .podman import inspect, podman

# Rendered manifests are read as YAML: a development requirement only.
yaml = pytest.importorskip("yaml")

OVERLAY = ROOT / "examples" / "deploy" / "kubernetes" / "overlays" / "demo"
KUBECTL = Path(sys.executable).parent / "kubectl"


def rendered(prefix, tmp):
    """The demo overlay as kustomize renders it, every name under `prefix`."""
    (tmp / "kustomization.yaml").write_text(
        yaml.safe_dump({"resources": [os.path.relpath(OVERLAY, tmp)], "namePrefix": prefix})
    )
    out = subprocess.run([KUBECTL, "kustomize", tmp], capture_output=True, text=True, check=True)
    return list(yaml.safe_load_all(out.stdout))


def for_podman(docs, prefix, port):
    """`docs` changed as the module's docstring says, hosts first."""
    for doc in docs:
        kind, name = doc["kind"], doc["metadata"]["name"]
        if kind == "ConfigMap" and name == f"{prefix}dorvane-site":
            doc["data"]["WEBAPP_BASE_URL"] = f"http://127.0.0.1:{port}/"
            doc["data"]["SERVER_NAMES"] = f"127.0.0.1:{port}"
        if kind != "Deployment":
            continue
        containers = doc["spec"]["template"]["spec"]["containers"]
        for container in containers:
            container.pop("ports", None)
        if name == f"{prefix}dorvane-host":
            doc["spec"]["replicas"] = 1
        if name == f"{prefix}dorvane-front":
            front = next(c for c in containers if c["name"] == "front")
            front["env"] = [e for e in front["env"] if e["name"] != "POD_NAMESPACE"]
            for variable in front["env"]:
                if variable["name"] == "HOSTS":
                    variable["value"] = f"{prefix}dorvane-host-pod-0"
            front["ports"] = [{"containerPort": 8080, "hostPort": port, "hostIP": "127.0.0.1"}]
    return sorted(docs, key=lambda doc: doc["metadata"]["name"] != f"{prefix}dorvane-host")


class Played:
    def __init__(self, tmp):
        self.prefix = f"t{os.getpid()}-"
        self.network = f"{self.prefix}dorvane"
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/"
        self.docs = for_podman(rendered(self.prefix, tmp), self.prefix, self.port)
        self.file = tmp / "played.yaml"
        self.file.write_text(yaml.safe_dump_all(self.docs))
        made = podman("network", "create", self.network)
        assert made.returncode == 0, made.stderr
        played = podman("kube", "play", "--network", self.network, str(self.file), timeout=180)
        assert played.returncode == 0, played.stderr

    def container(self, deployment, name):
        return f"{self.prefix}{deployment}-pod-0-{name}"

    def serving(self):
        try:
            with urllib.request.urlopen(self.url, timeout=5) as page:
                return page.status == 200
        except OSError:
            return False

    def standin_listening(self):
        # The stand-in's readiness probe, which podman does not run, asked
        # from the host's side of the pod.
        connect = "import socket; socket.create_connection(('127.0.0.1', 8443), 2)"
        return podman("exec", self.container("dorvane-host", "host"), "python", "-c", connect).returncode == 0

    def left(self):
        name = f"name={self.prefix}"
        return (
            podman("pod", "ps", "-q", "--filter", name).stdout.split()
            + podman("volume", "ls", "-q", "--filter", name).stdout.split()
            + podman("network", "ls", "-q", "--filter", name).stdout.split()
        )

    def down(self):
        podman("kube", "down", str(self.file), timeout=120)
        volumes = podman("volume", "ls", "-q", "--filter", f"name={self.prefix}").stdout.split()
        if volumes:
            podman("volume", "rm", "-f", *volumes)
        podman("network", "rm", "-f", self.network)


@pytest.fixture(scope="module")
def played(tmp_path_factory):
    played = Played(tmp_path_factory.mktemp("kubernetes"))
    try:
        wait_until(played.standin_listening, 120, "the stand-in", step=0.5)
        wait_until(played.serving, 60, "the front's page", step=0.5)
        yield played
    finally:
        played.down()


def test_round_trip_through_the_front(played):
    from roundtrip import round_trip

    link, seconds = round_trip(played.url)
    assert link.startswith(f"{played.url}output/tts/") and seconds > 0


@pytest.mark.parametrize(
    "deployment, name, user",
    [
        ("dorvane-host", "host", "10001:10001"),
        ("dorvane-host", "standin", "10001:10001"),
        ("dorvane-front", "front", "10002:10002"),
        ("dorvane-front", "nginx", "10002:10002"),
    ],
)
def test_runs_as_its_user_on_a_read_only_root(played, deployment, name, user):
    seen = inspect(
        played.container(deployment, name),
        "{{.Config.User}} {{.HostConfig.ReadonlyRootfs}} {{.State.Status}}",
    )
    assert seen.split() == [user, "true", "running"]


def test_nothing_left_after_down(played):
    assert played.left()
    played.down()
    assert played.left() == []
