"""Importing the module: what it binds, once, and what it needs."""

import subprocess
import sys

import pytest

import dorvane as module


def test_attributes_in_binding_order(dorvane):
    public = [name for name in vars(dorvane) if not name.startswith("__")]
    assert public == [
        "requests", "os", "time", "RequestException", "Timeout", "torch", "gc",
        "check_project_structure", "generate_tts", "clone_voice", "transcribe_audio",
        "gen_music", "sep_music", "run_mod",
    ]


@pytest.mark.real_wait  # keeps the module's own `time` in place
def test_library_attributes_are_the_libraries(dorvane):
    import gc
    import os
    import time

    import requests
    import requests.exceptions
    import torch

    assert (dorvane.requests, dorvane.os, dorvane.time, dorvane.gc, dorvane.torch) == (requests, os, time, gc, torch)
    assert dorvane.RequestException is requests.exceptions.RequestException
    assert dorvane.Timeout is requests.exceptions.Timeout


def test_second_import_reuses_the_module(dorvane):
    import importlib

    assert importlib.import_module("dorvane") is dorvane is module
    assert sys.modules["dorvane"] is dorvane


def _import_without(tmp_dir, blocked):
    code = (
        "import sys\n"
        f"sys.modules[{blocked!r}] = None\n"
        f"sys.path.insert(0, {str(tmp_dir)!r})\n"
        "try:\n"
        "    import dorvane\n"
        "except ImportError as error:\n"
        "    print('ImportError', 'dorvane' in sys.modules)\n"
    )
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("blocked", ["requests", "torch"])
def test_missing_library_fails_the_import(dorvane, installation, blocked):
    result = _import_without(installation.root, blocked)
    assert result.stdout.strip() == "ImportError False", result.stderr
