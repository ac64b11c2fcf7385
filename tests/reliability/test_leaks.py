"""The paths a web worker takes thousands of times an hour keep memory flat:
Python allocations (tracemalloc), resident memory, and the references held
on the arguments and defaults they are given."""

import functools
import gc
import itertools
import os
import sys
import sysconfig
import tracemalloc
import types

import pytest
from operations import GATED
from scripted_server import response

CALLS = 20_000
PAGE = os.sysconf("SC_PAGE_SIZE")
# A leak of one small object per call shows as at least 20,000 x 16 bytes;
# these bounds sit well below that and well above the noise measured.
TRACED_BOUND = 64 * 1024
RSS_BOUND = 1024 * 1024


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def growth(call, calls):
    """Resident growth over `calls` calls, then traced growth over as many
    more, each after a warm-up that fills the caches of the interpreter and
    the client. Separate runs, as the tracer's own tables take resident
    memory that churns with every allocation."""
    for _ in range(calls // 10):
        call()
    gc.collect()
    resident = rss()
    for _ in range(calls):
        call()
    gc.collect()
    resident = rss() - resident
    tracemalloc.start()
    try:
        for _ in range(calls // 10):
            call()
        traced = traced_floor(call)
        for _ in range(calls):
            call()
        return traced_floor(call) - traced, resident
    finally:
        tracemalloc.stop()


# A free-threaded interpreter hands memory that a thread frees back in
# batches, later, once no thread can still be reading it; one reading then
# holds a backlog that comes and goes over the client paths. The least of a few readings moves only with memory really kept.
FLOOR_READINGS = 30 if sysconfig.get_config_var("Py_GIL_DISABLED") else 0


def traced_floor(call):
    gc.collect()
    lowest = tracemalloc.get_traced_memory()[0]
    for _ in range(FLOOR_READINGS):
        call()
        gc.collect()
        lowest = min(lowest, tracemalloc.get_traced_memory()[0])
    return lowest


def resident_says_nothing():
    """AddressSanitizer keeps freed memory in quarantine, so resident memory
    says nothing about leaks under it. Nor on a free-threaded interpreter,
    whose allocator gives pages back late and in batches: over the client
    paths a plain-Python caller grows by some 10 MiB there before it levels."""
    if FLOOR_READINGS:
        return True
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def assert_flat(call, calls=CALLS, traced_bound=TRACED_BOUND, held=()):
    counts = [sys.getrefcount(value) for value in held]
    traced, resident = growth(call, calls)
    assert traced < traced_bound, f"{traced} bytes traced after {calls} calls"
    if not resident_says_nothing():
        assert resident < RSS_BOUND, f"{resident} bytes resident after {calls} calls"
    assert [sys.getrefcount(value) for value in held] == counts


def counted():
    """An argument of its own, whose references can be counted; text, so
    that it also survives the paths that send it as JSON."""
    return "".join(["mark", "er"])


def test_binding_errors(dorvane):
    marker = counted()
    cases = [
        (dorvane.generate_tts, (marker,), {}),
        (dorvane.generate_tts, (marker, marker), {"bogus": marker}),
        (dorvane.clone_voice, (marker,) * 7, {}),
        (dorvane.transcribe_audio, (marker,), {"audio_url": marker}),
        (dorvane.run_mod, (), {"size": marker, "extra": marker}),
        (dorvane.check_project_structure, (marker, marker), {}),
    ]

    def call():
        for function, args, kwargs in cases:
            try:
                function(*args, **kwargs)
            except TypeError:
                pass
            else:
                raise AssertionError(function)

    # The texts among the defaults: None and small integers are shared with
    # the whole interpreter, whose own traffic moves their counts.
    defaults = {id(d): d for f, _, _ in cases for d in f.__defaults__ or () if isinstance(d, str)}
    # Each refused call is handed to the function's twin, the plain def that
    # words the TypeError; the collector is shown it among the function's
    # references.
    twins = {f: t for f, _, _ in cases for t in gc.get_referents(f) if isinstance(t, types.FunctionType)}
    assert len(twins) == len({f for f, _, _ in cases})
    assert_flat(call, held=[marker, *defaults.values(), *twins.values()])


def test_gate_refusals(dorvane, installation):
    installation.remove("token/tokenizer.json")
    marker = counted()
    refused = ({"error": "Files not found in 'token': tokenizer.json"}, 400)

    # Every gated operation of the table, each of its arguments the marker.
    calls = itertools.cycle(
        [functools.partial(getattr(dorvane, op.name), **dict.fromkeys(op.kwargs, marker)) for op in GATED]
    )

    def call():
        assert next(calls)() == refused

    assert_flat(call, held=[marker])


@pytest.mark.parametrize("layout", ["default", "given", "incomplete"])
def test_check_project_structure(dorvane, installation, layout):
    folders = {"models": ["whisper_model.safetensors"], "zonos": [counted(), "absent.py"]}
    if layout == "incomplete":
        installation.remove("zonos")
    args = (folders,) if layout == "given" else ()

    def call():
        dorvane.check_project_structure(*args)

    assert_flat(call, held=[folders, *folders.values(), *folders["zonos"]] if args else [])


# A round trip over loopback HTTP is slow beside a call the module refuses,
# so the paths through the client make SERVED_CALLS calls of each operation
# by default (the full 20,000 with DORVANE_LEAK_SERVED_CALLS=20000). The
# bound sits above what the client's own caches move and below what a
# payload dict left behind per call would add, 300 x 3 x 200 bytes.
SERVED_CALLS = int(os.environ.get("DORVANE_LEAK_SERVED_CALLS", 300))
SERVED_BOUND = 24 * 1024


@pytest.mark.parametrize("answer", ["status 500", "not JSON", "refused"])
def test_error_payloads_from_the_client(dorvane, scripted, refused_url, answer):
    body = response(b"<html>busy</html>", 500 if answer == "status 500" else 200, "text/html")
    scripted.route("/", lambda request: body)
    url = refused_url if answer == "refused" else scripted.url + "/op"
    marker = counted()

    def call():
        for result in (
            dorvane.generate_tts(marker, marker, tts_endpoint=url),
            dorvane.clone_voice(marker, marker, url, output_folder="out"),
            dorvane.transcribe_audio(marker, url),
        ):
            assert result["error"].startswith(("Request failed: ", "Response is not JSON"))
        scripted.wait_idle()
        scripted.requests.clear()

    assert_flat(call, SERVED_CALLS, SERVED_BOUND, held=[marker])
