"""The gate that keeps the deployment's slow tests to CI's container step
(DORVANE_CONTAINERS=1), which builds the images first (scripts/containers
--build-only)."""

import os

import pytest

from support import ROOT


def pytest_collection_modifyitems(items):
    if os.environ.get("DORVANE_CONTAINERS") == "1":
        return
    skip = pytest.mark.skip(reason="the container step of CI (DORVANE_CONTAINERS=1)")
    for item in items:
        if item.path.parent == ROOT / "tests" / "deploy":
            item.add_marker(skip)
