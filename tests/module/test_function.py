"""The module's functions behave like `def` functions to their callers."""

import copy
import gc
import inspect
import itertools
import pickle

import dorvane as module
import pytest
from doubles import Reached, Stop
from operations import OPERATIONS
from twins import twin

from support.defaults import CLONE_PATH, TRANSCRIBE_PATH, TTS_PATH

# The names, parameters and defaults themselves are the stub's, which stubtest
# holds the module to (test_typing.py).
FUNCTIONS = {name: getattr(module, name) for name in OPERATIONS}


def calls(params):
    """Argument shapes around a signature: every positional count, and
    keywords that fit, repeat a positional, name nothing, or nearly name a
    parameter (newer interpreters suggest the parameter then)."""
    names = params + ["bogus", params[0].upper(), params[-1][:-1]]
    for nargs in range(len(params) + 3):
        for count in range(3):
            for keywords in itertools.combinations(names, count):
                yield nargs, keywords


def outcome(function, args, kwargs):
    try:
        function(*args, **kwargs)
    except TypeError as error:
        return ("TypeError", str(error))
    except Reached:
        pass
    return ("bound", None)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_binding_errors_read_as_for_a_def(dorvane, stop_after_binding, name):
    function = FUNCTIONS[name]
    plain = twin(function)
    compared = 0
    for nargs, keywords in calls(list(inspect.signature(function).parameters)):
        args = (Stop(),) * nargs
        kwargs = {key: Stop() for key in keywords}
        expected = outcome(plain, args, kwargs)
        assert outcome(function, args, kwargs) == expected, (nargs, keywords)
        compared += expected[0] == "TypeError"
    assert compared > 10


def test_keywords_that_are_not_strings(dorvane):
    with pytest.raises(TypeError, match="keywords must be strings"):
        dorvane.generate_tts(**{1: 2})


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature_and_defaults_agree(dorvane, name):
    function = getattr(dorvane, name)
    signature = inspect.signature(function)
    defaults = tuple(p.default for p in signature.parameters.values() if p.default is not p.empty)
    assert defaults == (function.__defaults__ or ())


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(dorvane, name):
    function = getattr(dorvane, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "dorvane"
    assert function.__doc__ is None
    assert function.__kwdefaults__ is None
    assert repr(function).startswith(f"<function {name} at 0x")
    assert pickle.loads(pickle.dumps(function)) is function
    assert copy.deepcopy(function) is function


def test_url_defaults_have_their_schemes_and_paths(dorvane):
    base_url = dorvane.generate_tts.__defaults__[2]
    tts, clone, stt = (
        dorvane.generate_tts.__defaults__[3],
        dorvane.clone_voice.__defaults__[0],
        dorvane.transcribe_audio.__defaults__[0],
    )
    assert base_url == dorvane.clone_voice.__defaults__[3]
    assert base_url.startswith("http://") and base_url.endswith(":5000/")
    assert tts.startswith("https://") and tts.endswith(TTS_PATH)
    assert clone == tts.removesuffix(TTS_PATH) + CLONE_PATH
    assert stt.startswith("https://") and stt.endswith(TRANSCRIBE_PATH)


def test_defaults_are_read_only(dorvane):
    with pytest.raises(AttributeError):
        dorvane.generate_tts.__defaults__ = (2, 2)
    assert dorvane.generate_tts.__defaults__[0] == 1


def test_stored_on_a_class_it_binds_like_a_def(dorvane, monkeypatch):
    seen = []
    monkeypatch.setattr(dorvane, "check_project_structure", lambda: seen.append(1) or {"error": "x"})

    class Host:
        tts = dorvane.generate_tts

    assert Host.tts is dorvane.generate_tts
    assert Host().tts("voice") == ({"error": "x"}, 400)
    assert seen == [1]


def test_function_type_cannot_be_instantiated_or_subclassed(dorvane):
    kind = type(dorvane.generate_tts)
    with pytest.raises(TypeError):
        kind()
    with pytest.raises(TypeError):
        type("Sub", (kind,), {})


# The module's namespace holds each function and each function holds the
# namespace, a cycle only the collector can break: it must see both edges.
@pytest.mark.parametrize("name", FUNCTIONS)
def test_the_collector_sees_the_module_namespace(dorvane, name):
    assert any(referent is vars(dorvane) for referent in gc.get_referents(getattr(dorvane, name)))


# The collector's clear slot called directly, as a collection that found the
# function in an unreachable cycle would, in a process of its own.
CLEARED = """
import ctypes, sys
import dorvane
get_slot = ctypes.pythonapi.PyType_GetSlot
get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
clear = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(dorvane.run_mod), 51))
assert clear(dorvane.run_mod) == 0
f = dorvane.run_mod
print(f.__globals__, f.__module__, f.__name__, f.__defaults__, sep="|")
for call in (lambda: f(), lambda: f(1)):
    try:
        call()
    except Exception as error:
        print(type(error).__name__, error, sep="|")
"""


def test_a_cleared_function_reads_as_cpythons_do(child):
    assert child(CLEARED).splitlines() == [
        "None|None|run_mod|None",
        "TypeError|run_mod() missing 1 required positional argument: 'size'",
        "NameError|name 'torch' is not defined",
    ]
