"""Importing the module: what it binds, once, and what it needs."""

import sys
import sysconfig

import dorvane as module
import pytest


@pytest.mark.real_wait  # keeps the module's own `time` in place
def test_library_attributes_are_the_libraries(dorvane):
    import gc
    import os
    import time

    import requests
    import requests.exceptions
    import torch

    assert (dorvane.requests, dorvane.os, dorvane.time, dorvane.gc, dorvane.torch) == (
        requests,
        os,
        time,
        gc,
        torch,
    )
    assert dorvane.RequestException is requests.exceptions.RequestException
    assert dorvane.Timeout is requests.exceptions.Timeout


def test_second_import_reuses_the_module(dorvane):
    import importlib

    assert importlib.import_module("dorvane") is dorvane is module
    assert sys.modules["dorvane"] is dorvane


IMPORT_WITHOUT = """
import sys
sys.modules[sys.argv[1]] = None
try:
    import dorvane
except ImportError as error:
    print('ImportError', 'dorvane' in sys.modules)
"""


@pytest.mark.parametrize("blocked", ["requests", "torch"])
def test_missing_library_fails_the_import(child, blocked):
    assert child(IMPORT_WITHOUT, blocked).strip() == "ImportError False"


@pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="the interpreter is not a free-threaded build"
)
def test_import_keeps_the_interpreter_lock_off(dorvane, child, child_env):
    # A fresh process: the lock is switched back on for good by the first
    # import of a module that does not declare it runs without it, and the
    # module imports torch and requests along with it.
    env = {name: value for name, value in child_env.items() if name != "PYTHON_GIL"}
    code = "import sys, dorvane; print(dorvane.__file__, sys._is_gil_enabled(), dorvane.torch.__name__)"
    assert child(code, env=env, flags=["-W", "error::RuntimeWarning"]).split() == [
        dorvane.__file__,
        "False",
        "torch",
    ]
