"""Arbitrary argument lists, by every call path the interpreter offers, bind
exactly as they would for a `def` of the same signature: the same TypeError
text, or the same exception from a keyword's own comparison, or binding."""

import ctypes
import inspect
import sys

import dorvane as module
import pytest
from doubles import Reached, Stop
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from operations import OPERATIONS
from twins import twin

NAMES = list(OPERATIONS)


class Equal(str):
    """A keyword that is a parameter name by equality, never by identity."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return str.__eq__(self, other)


class Liar(str):
    """A keyword equal to anything."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


class Broken(str):
    """A keyword whose comparison fails."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError(f"cannot compare {str(self)!r}")


_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
# The keyword names go as a raw pointer: no keywords is NULL, not None.
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.c_void_p]


def vectorcall(function, args, kwnames, values):
    """The C calling convention with a keyword-name tuple as given, which may
    repeat a name or hold a non-string, as no Python call site can build."""
    stack = (ctypes.py_object * (len(args) + len(values) or 1))(*args, *values)
    kwnames = tuple(kwnames)
    return _vectorcall(function, stack, len(args), id(kwnames) if kwnames else None)


def outcome(call):
    try:
        call()
    except Reached:
        return ("bound",)
    except BaseException as error:  # noqa: BLE001 - the comparison is the point
        return (type(error), str(error))
    return ("returned",)


FUNCTIONS = {name: getattr(module, name) for name in NAMES}


@pytest.fixture
def stopped(stop_after_binding):
    """Each function with its plain twin; calls past binding raise Reached."""
    return {name: (function, twin(function)) for name, function in FUNCTIONS.items()}


KINDS = {"interned": sys.intern, "plain": str, "equal": Equal, "liar": Liar, "broken": Broken}


def keyword_names(params):
    """Parameter names, near misses that a careless binder would accept, and
    arbitrary text (non-ASCII and lone surrogates included), as (kind, text)
    pairs: the str subclasses are made only after drawing."""
    exact = st.sampled_from(params)
    fullwidth = {c: c + 0xFEE0 for c in range(0x21, 0x7F)}  # NFKC maps them back
    texts = st.one_of(
        exact,
        exact.map(str.upper),
        exact.map(lambda name: name.translate(fullwidth)),
        exact.map(lambda name: name + "\u200b"),
        exact.map(lambda name: name[:-1]),
        st.text(max_size=12),
        st.sampled_from(["", "self", "args", "kwargs", "bogus", "_"]),
    )
    return st.tuples(st.sampled_from(sorted(KINDS)), texts)


def make_keyword(kind, text):
    # A fresh object unless interned: equal to the parameter's name, not it.
    return KINDS[kind]("".join(list(text)))


@st.composite
def argument_lists(draw, params):
    nargs = draw(st.integers(0, len(params) + 2))
    drawn = draw(st.lists(keyword_names(params), max_size=len(params) + 1))
    return nargs, [make_keyword(kind, text) for kind, text in drawn]


SETTINGS = settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)


@pytest.mark.parametrize("name", NAMES)
@SETTINGS
@given(data=st.data())
def test_keyword_calls_bind_as_for_a_def(stopped, name, data):
    function, plain = stopped[name]
    nargs, kwnames = data.draw(argument_lists(list(inspect.signature(function).parameters)))
    args = [Stop() for _ in range(nargs)]
    kwargs = {}
    for key in kwnames:
        try:
            kwargs.setdefault(key, Stop())
        except LookupError:  # a Broken key meeting an equal one: no dict holds both
            pass
    expected = outcome(lambda: plain(*args, **kwargs))
    assert outcome(lambda: function(*args, **kwargs)) == expected
    # The slot that `functools.partial` and C callers reach.
    assert outcome(lambda: type(function).__call__(function, *args, **kwargs)) == expected


@pytest.mark.parametrize("name", NAMES)
@SETTINGS
@given(data=st.data())
def test_raw_keyword_tuples_bind_as_for_a_def(stopped, name, data):
    function, plain = stopped[name]
    params = list(inspect.signature(function).parameters)
    nargs, kwnames = data.draw(argument_lists(params))
    # Repeats and non-strings reach the callee only through the C API.
    kwnames += data.draw(st.lists(st.one_of(st.sampled_from(params), st.integers(), st.none()), max_size=2))
    order = data.draw(st.permutations(range(len(kwnames))))
    kwnames = [kwnames[i] for i in order]
    args = [Stop() for _ in range(nargs)]
    values = [Stop() for _ in kwnames]
    expected = outcome(lambda: vectorcall(plain, args, kwnames, values))
    assert outcome(lambda: vectorcall(function, args, kwnames, values)) == expected
