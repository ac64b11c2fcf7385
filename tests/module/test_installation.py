"""The installation check and the gate every operation but run_mod passes first."""

import os
import socket
import sys
import threading
import types
from collections import OrderedDict
from pathlib import Path

import pytest

# The plain def the benchmark times the module against is the reference here too.
from doubles import Reached, Unrelated, module_copy
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from operations import GATED

from support.reference import plain_check

MODELS = [
    "whisper_model.safetensors",
    "voice_clone_00001-of-00002.safetensors",
    "musicgen_00002-of-00002.bin",
    "D_Onigiri_50968.pth",
]


def test_complete_installation(dorvane):
    assert dorvane.check_project_structure() == {"status": True}


@pytest.mark.parametrize(
    "breakage, message",
    [
        (["models"], "Code is not complete. 'models' folder is missing."),
        # The first shortfall in layout order is the one reported.
        (["models", "token", "zonos"], "Code is not complete. 'models' folder is missing."),
        (["token/tokenizer.json", "zonos"], "Files not found in 'token': tokenizer.json"),
        (
            ["models/musicgen_00002-of-00002.bin", "models/D_Onigiri_50968.pth"],
            "Files not found in 'models': musicgen_00002-of-00002.bin, D_Onigiri_50968.pth",
        ),
        (["zonos/config.py"], "Files not found in 'zonos': config.py"),
        (["zonos"], "Code is not complete. 'zonos' folder is missing."),
    ],
)
def test_first_shortfall_is_reported(dorvane, installation, breakage, message):
    for relative in breakage:
        installation.remove(relative)
    assert dorvane.check_project_structure() == {"error": message}


def _unix_socket(path):
    with socket.socket(socket.AF_UNIX) as bound:
        bound.bind(str(path))  # the socket file stays when the socket closes


# What may stand where the layout wants a folder or a file. A socket's type
# bits hold both a folder's and a file's, so only the whole type field tells.
IN_PLACE = {
    "file": lambda path: path.write_bytes(b""),
    "folder": lambda path: path.mkdir(),
    "fifo": os.mkfifo,
    "unix-socket": _unix_socket,
}


@pytest.mark.parametrize("kind", ["file", "fifo", "unix-socket"])
def test_anything_but_a_folder_in_place_of_a_folder_is_a_missing_folder(dorvane, installation, kind):
    installation.remove("models")
    IN_PLACE[kind](installation.root / "models")
    assert not os.path.isdir(installation.root / "models")
    assert dorvane.check_project_structure() == {"error": "Code is not complete. 'models' folder is missing."}


@pytest.mark.parametrize("kind", ["folder", "fifo", "unix-socket"])
def test_anything_but_a_file_in_place_of_a_file_is_a_missing_file(dorvane, installation, kind):
    installation.remove("token/mtl_tokenizer.json")
    IN_PLACE[kind](installation.root / "token" / "mtl_tokenizer.json")
    assert not os.path.isfile(installation.root / "token" / "mtl_tokenizer.json")
    assert dorvane.check_project_structure() == {"error": "Files not found in 'token': mtl_tokenizer.json"}


def test_current_directory_does_not_matter(dorvane, installation, tmp_path, monkeypatch):
    # A complete layout in the current directory must not stand in for the
    # installation's own.
    for folder in ("models", "token", "zonos"):
        (tmp_path / folder).mkdir()
    installation.remove("zonos")
    assert "zonos" in dorvane.check_project_structure()["error"]
    monkeypatch.chdir(installation.root / "models")
    assert "zonos" in dorvane.check_project_structure()["error"]


def test_base_directory_follows_the_module_file(dorvane, tmp_path, monkeypatch):
    monkeypatch.setattr(dorvane, "__file__", str(tmp_path / "elsewhere" / "dorvane.so"))
    assert dorvane.check_project_structure() == {"error": "Code is not complete. 'models' folder is missing."}


@pytest.mark.parametrize(
    "mapping, expected",
    [
        ({}, {"status": True}),
        ({"models": MODELS[:1]}, {"status": True}),
        (
            {"models": ["absent.bin", MODELS[0], "gone.pt"]},
            {"error": "Files not found in 'models': absent.bin, gone.pt"},
        ),
        ({"weights": []}, {"error": "Code is not complete. 'weights' folder is missing."}),
        # The caller's mapping replaces the default: a missing default folder is not looked at.
        ({"token": ["tokenizer.json"]}, {"status": True}),
    ],
    ids=["empty", "subset", "missing-files", "missing-folder", "replaces-default"],
)
def test_caller_mapping(dorvane, installation, mapping, expected):
    installation.remove("models/" + MODELS[3])
    assert dorvane.check_project_structure(mapping) == expected
    assert dorvane.check_project_structure(required_folders=mapping) == expected


def test_default_layout_cannot_be_changed_by_a_caller(dorvane, installation):
    installation.remove("zonos/config.py")
    first = dorvane.check_project_structure()
    first["error"] = "changed"
    assert dorvane.check_project_structure() == {"error": "Files not found in 'zonos': config.py"}


@pytest.mark.parametrize(
    "mapping, error",
    [
        ([("models", [])], AttributeError),
        ({"models": 1}, TypeError),
        ({1: []}, TypeError),
        ({"models": [1]}, TypeError),
    ],
)
def test_malformed_mappings_raise(dorvane, mapping, error):
    with pytest.raises(error):
        dorvane.check_project_structure(mapping)


class Items:
    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items


@pytest.mark.parametrize("items", [[("models",)], [("models", [], "x")], [7]])
def test_items_that_are_not_pairs(dorvane, items):
    # The interpreter words these (3.14 added the count to "too many values
    # to unpack"), so the plain def's error on the running one is the text.
    expected = outcome(plain_check(dorvane.__file__, os), Items(items))
    assert expected[0] in (ValueError, TypeError) and "unpack" in expected[1]
    assert outcome(dorvane.check_project_structure, Items(items)) == expected


def test_os_is_looked_up_at_call_time(dorvane, monkeypatch):
    seen = []
    real_isdir = os.path.isdir
    monkeypatch.setattr(dorvane.os.path, "isdir", lambda p: seen.append(p) or real_isdir(p))
    dorvane.check_project_structure()
    assert [os.path.basename(p) for p in seen] == ["models", "token", "zonos"]


class Falsy:
    """An answer whose truth is False though it is no bool."""

    def __bool__(self):
        return False


@pytest.mark.parametrize(
    "answer",
    [False, 0, None, "", [], Falsy()],
    ids=["False", "0", "None", "empty-str", "empty-list", "falsy-object"],
)
@pytest.mark.parametrize(
    "name, message",
    [
        ("isdir", "Code is not complete. 'models' folder is missing."),
        ("isfile", "Files not found in 'models': " + ", ".join(MODELS)),
    ],
)
def test_a_patched_test_is_answered_by_its_truth(dorvane, monkeypatch, name, message, answer):
    monkeypatch.setattr(os.path, name, lambda path: answer)
    assert dorvane.check_project_structure() == {"error": message}


class Undecided:
    """An answer that raises when asked for its truth."""

    def __init__(self, error):
        self.error = error

    def __bool__(self):
        raise self.error


@pytest.mark.parametrize("name", ["isdir", "isfile"])
def test_an_answer_whose_truth_raises_raises_that_error(dorvane, monkeypatch, name):
    error = Unrelated("no truth")
    monkeypatch.setattr(os.path, name, lambda path: Undecided(error))
    with pytest.raises(Unrelated) as raised:
        dorvane.check_project_structure()
    assert raised.value is error


@pytest.fixture(params=GATED, ids=str)
def gated(request):
    return request.param


@pytest.mark.parametrize(
    "remove, message",
    [
        ("models", "Code is not complete. 'models' folder is missing."),
        ("zonos", "Code is not complete. 'zonos' folder is missing."),
        ("token/tokenizer.json", "Files not found in 'token': tokenizer.json"),
        ("token/mtl_tokenizer.json", "Files not found in 'token': mtl_tokenizer.json"),
        ("zonos/config.py", "Files not found in 'zonos': config.py"),
        ("models/whisper_model.safetensors", "Files not found in 'models': whisper_model.safetensors"),
    ],
)
def test_gate_refuses_an_incomplete_installation(
    dorvane, installation, sleeps, monkeypatch, gated, remove, message
):
    posts = []
    monkeypatch.setattr(dorvane.requests, "post", lambda *a, **k: posts.append(a))
    installation.remove(remove)
    result = gated.call(dorvane)
    assert result == ({"error": message}, 400)
    assert type(result) is tuple and type(result[1]) is int
    assert posts == [] and sleeps == []
    assert sorted(str(path) for path in Path().rglob("*")) == gated.leaves


def test_gate_returns_the_check_payload_itself(dorvane, monkeypatch, gated):
    refusal = {"error": "custom", "extra": 1}
    monkeypatch.setattr(dorvane, "check_project_structure", lambda: refusal)
    payload, status = gated.call(dorvane)
    assert payload is refusal and status == 400


# A host's own check may say nothing of the installation's state; only an
# "error" in what it returns refuses the call.
@pytest.mark.parametrize(
    "check", [{}, {"status": False}, {"warning": "slow disk"}], ids=["empty", "status-false", "other-key"]
)
def test_gate_lets_through_a_check_without_an_error(dorvane, monkeypatch, gated, check):
    def reached(*args, **kwargs):
        raise Reached

    monkeypatch.setattr(dorvane, "check_project_structure", lambda: check)
    # The first step after the gate: the request, or the music operations' wait.
    monkeypatch.setattr(dorvane, "requests", types.SimpleNamespace(post=reached))
    monkeypatch.setattr(dorvane, "time", types.SimpleNamespace(sleep=reached))
    with pytest.raises(Reached):
        gated.call(dorvane)


def outcome(check, *args):
    """What a call gives back, or the type and text of what it raises."""
    try:
        return check(*args)
    except Exception as error:
        return type(error), str(error)


def recorded(log, name, function):
    def recording(*args, **kwargs):
        log.append((name, args, kwargs))
        return function(*args, **kwargs)

    return recording


BREAKAGES = {
    "complete": [],
    "no-models": ["models"],
    "token-file": ["token/tokenizer.json"],
    "zonos-empty": ["zonos/config.py"],
}


@pytest.mark.parametrize("breakage", BREAKAGES.values(), ids=BREAKAGES)
@pytest.mark.parametrize(
    "mapping",
    [None, {"token": ["tokenizer.json", "absent"], "zonos": ["config.py"]}],
    ids=["default", "caller"],
)
@pytest.mark.parametrize(
    "owner, name",
    [
        ("path", "join"),
        ("path", "isdir"),
        ("path", "isfile"),
        ("path", "abspath"),
        ("path", "dirname"),
        ("os", "stat"),
    ],
)
def test_a_patched_function_is_called_as_a_plain_def_calls_it(
    dorvane, installation, monkeypatch, owner, name, mapping, breakage
):
    for relative in breakage:
        installation.remove(relative)
    target = os.path if owner == "path" else os
    log = []
    monkeypatch.setattr(target, name, recorded(log, name, getattr(target, name)))
    result = outcome(dorvane.check_project_structure, mapping)
    calls = log[:]
    log.clear()
    assert result == outcome(plain_check(dorvane.__file__, os), mapping)
    assert calls == log


def _replaced_os(log):
    """A stand-in `os` whose path functions record their calls."""
    path = types.SimpleNamespace(
        **{
            name: recorded(log, name, getattr(os.path, name))
            for name in ("join", "isdir", "isfile", "abspath", "dirname")
        }
    )
    return types.SimpleNamespace(path=path, stat=os.stat)


def _os_with_own_stat(log):
    """A stand-in `os` with the real path functions, whose `stat` those never
    call (they use the real module's)."""
    return types.SimpleNamespace(path=os.path, stat=recorded(log, "stat", os.stat))


def _module_copy(log):
    return module_copy(os)


@pytest.mark.parametrize("make_os", [_replaced_os, _os_with_own_stat, _module_copy])
@pytest.mark.parametrize("breakage", BREAKAGES.values(), ids=BREAKAGES)
def test_a_replaced_os_is_used_as_a_plain_def_uses_it(dorvane, installation, monkeypatch, make_os, breakage):
    for relative in breakage:
        installation.remove(relative)
    log = []
    replacement = make_os(log)
    monkeypatch.setattr(dorvane, "os", replacement)
    result = outcome(dorvane.check_project_structure)
    calls = log[:]
    log.clear()
    assert result == outcome(plain_check(dorvane.__file__, replacement))
    assert calls == log


# Each maps the installation directory to a mapping, after laying out what it needs there.
def _surrogate_name(root):
    # A name that is not UTF-8 on disk comes back with a lone surrogate,
    # which the file-system encoding turns into the same byte again.
    (root / "models" / os.fsdecode(b"caf\xe9.bin")).write_bytes(b"")
    return {"models": [os.fsdecode(b"caf\xe9.bin"), "caf\udce8.bin"]}


def _linked(root):
    # Inside the layout's folders, which every test lays out afresh.
    (root / "models" / "linked").symlink_to(root / "token", target_is_directory=True)
    (root / "token" / "dangling").symlink_to(root / "absent")
    return {"models/linked": ["tokenizer.json", "dangling"]}


def _non_ascii(root):
    (root / "token" / "modèle-🎙.json").write_bytes(b"")
    return {"token": ["modèle-🎙.json", "absent-é"], "tökën": []}


def _rooted(name):
    """`name` as a str whose class claims it starts with whatever is asked."""
    return type("Rooted", (str,), {"startswith": lambda self, prefix, *bounds: True})(name)


NAMES = {
    "bytes": lambda root: {b"models": [b"x"]},
    "bytes-file": lambda root: {"models": [b"whisper_model.safetensors"]},
    "bytes-folder": lambda root: {b"models": [MODELS[0]]},
    "path-objects": lambda root: {Path("models"): [Path(MODELS[0])]},
    "path-object-missing": lambda root: {"models": [Path(MODELS[0]), Path("absent")]},
    # Cut at the NUL, each would name something that exists.
    "nul-folder": lambda root: {"models\0.d": []},
    "nul-file": lambda root: {"models": [MODELS[0] + "\0.bak", MODELS[0], "absent"]},
    "unencodable": lambda root: {"models": ["\ud800", MODELS[1]]},
    "surrogate-escaped": _surrogate_name,
    "non-ascii": _non_ascii,
    "absolute-folder": lambda root: {str(root / "token"): ["tokenizer.json"]},
    "absolute-file": lambda root: {"models": [str(root / "token" / "tokenizer.json"), "/absent/x"]},
    "absolute-missing": lambda root: {"/absent-dorvane-folder": []},
    "empty-folder-name": lambda root: {"": [], "models//": [MODELS[0]]},
    "empty-file-name": lambda root: {"models": ["", MODELS[0]]},
    "dot-names": lambda root: {"./models/../token": [".", "..", "tokenizer.json"]},
    "file-as-folder": lambda root: {"models/" + MODELS[0]: []},
    "symlinks": _linked,
    "tuple": lambda root: {"token": ("tokenizer.json", "absent")},
    "str-value": lambda root: {"token": "ab"},
    "ordered-dict": lambda root: OrderedDict([("token", ["absent"]), ("models", [])]),
    "dict-subclass": lambda root: type("Layout", (dict,), {})(models=["absent"]),
    # A def asks the mapping for its items; the dict beneath is never read.
    "dict-subclass-items": lambda root: type(
        "Layout", (dict,), {"items": lambda self: [("token", ["absent"])]}
    )(models=[MODELS[0]]),
    # join asks each name whether it starts with a slash; these names say
    # yes, so a def takes them as they are, relative to the current folder.
    "str-subclass-folder": lambda root: {_rooted("models"): [MODELS[0]]},
    "str-subclass-file": lambda root: {"token": [_rooted("tokenizer.json"), "mtl_tokenizer.json"]},
    "not-a-str-folder": lambda root: {7: []},
    "second-folder-missing": lambda root: {"models": [MODELS[0]], "weights": ["x"], "token": ["absent"]},
}


@pytest.mark.parametrize("make", NAMES.values(), ids=NAMES)
def test_names_give_what_a_plain_def_gives(dorvane, installation, make):
    mapping = make(installation.root)
    expected = outcome(plain_check(dorvane.__file__, os), mapping)
    assert outcome(dorvane.check_project_structure, mapping) == expected


@pytest.mark.parametrize(
    "module_file",
    [
        "{root}/dorvane.so",
        "{root}/sub/../dorvane.so",
        "{root}//./dorvane.so/",
        "/{root}/x/y/../../dorvane.so",
        "{root}/models/up/../dorvane.so",  # `..` is taken by the text, not by the link's target
        "{root}/../../../../../../../../../../..{root}/dorvane.so",
        "{root}/\0/dorvane.so",  # cut at the NUL, every path would name the installation directory
        "dorvane.so",  # relative: the current directory decides
        "",
        b"{root}/dorvane.so",
        Path("{root}/dorvane.so"),
        None,
        "{root}/\ud800/dorvane.so",
    ],
)
def test_module_file_spellings(dorvane, installation, monkeypatch, module_file):
    root = str(installation.root)
    # Through the link, `up/..` is the installation directory itself.
    (installation.root / "models" / "up").symlink_to(installation.root / "zonos", target_is_directory=True)
    if isinstance(module_file, (str, bytes)):
        module_file = module_file.replace(
            b"{root}" if isinstance(module_file, bytes) else "{root}",
            os.fsencode(root) if isinstance(module_file, bytes) else root,
        )
    elif isinstance(module_file, Path):
        module_file = Path(str(module_file).replace("{root}", root))
    monkeypatch.setattr(dorvane, "__file__", module_file)
    assert outcome(dorvane.check_project_structure) == outcome(plain_check(module_file, os))


@pytest.fixture(scope="module")
def spelling_tree(tmp_path_factory):
    """Folders a, b nested three deep, each with a link `l` to its own a/b and
    a folder `m` holding one file named after it, so the outcome of a check
    for `m` tells which folder was taken as the base."""
    root = tmp_path_factory.mktemp("spellings")
    names = []

    def fill(folder, depth):
        name = "-".join(folder.relative_to(root).parts) or "top"
        names.append(name)
        (folder / "m").mkdir(parents=True)
        (folder / "m" / name).write_bytes(b"")
        if depth:
            for child in ("a", "b"):
                fill(folder / child, depth - 1)
            (folder / "l").symlink_to(Path("a") / "b", target_is_directory=True)

    fill(root, 3)
    return root, names


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    lead=st.sampled_from(["", "/", "//"]),
    parts=st.lists(
        st.tuples(
            st.sampled_from(["a", "b", "l", ".", "..", "", "dorvane.so"]), st.sampled_from(["/", "//", "///"])
        ),
        max_size=8,
    ),
    trailing=st.booleans(),
)
def test_base_directory_matches_posixpath(dorvane, spelling_tree, lead, parts, trailing):
    root, names = spelling_tree
    module_file = lead + str(root) + "".join(sep + part for part, sep in parts) + ("/" if trailing else "")
    mapping = {"m": names}
    saved = dorvane.__file__
    try:
        dorvane.__file__ = module_file
        assert outcome(dorvane.check_project_structure, mapping) == outcome(
            plain_check(module_file, os), mapping
        )
    finally:
        dorvane.__file__ = saved


@pytest.mark.parametrize(
    "owner, name, calls",
    [
        ("os.path", "join", 10),
        ("os.path", "isdir", 3),
        ("os.path", "isfile", 7),
        ("os.path", "abspath", 1),
        ("os.path", "dirname", 1),
        ("os", "stat", 10),
    ],
)
def test_a_patch_made_before_import_is_called(child, installation, owner, name, calls):
    # A wrapper that copies the stock function's name and module must still
    # be called: it cannot pass for the standard library's own.
    code = (
        "import functools, os, sys, types\n"
        "sys.modules['torch'] = types.ModuleType('torch')\n"
        f"owner, real, calls = {owner}, {owner}.{name}, []\n"
        "@functools.wraps(real)\n"
        "def wrapper(*args):\n"
        "    calls.append(args)\n"
        "    return real(*args)\n"
        f"setattr(owner, {name!r}, wrapper)\n"
        "import dorvane\n"
        "del calls[:]\n"
        "print(dorvane.check_project_structure(), len(calls))\n"
    )
    assert child(code).split() == ["{'status':", "True}", str(calls)]


def test_other_threads_run_while_the_files_are_tested(dorvane):
    # With a switch interval far beyond the test, the checking thread gives up
    # the interpreter lock only where it releases it itself; the watcher can
    # then see `inside` set only if a check released it while testing files.
    names = [f"absent-{i}" for i in range(20000)]
    state = {"inside": False, "seen": False}
    done = threading.Event()

    def watch():
        while not done.is_set():
            state["seen"] |= state["inside"]
            done.wait(0.0005)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        for _ in range(50):
            state["inside"] = True
            result = dorvane.check_project_structure({"models": names})
            state["inside"] = False
            if state["seen"]:
                break
    finally:
        done.set()
        watcher.join()
        sys.setswitchinterval(interval)
    assert result == {"error": "Files not found in 'models': " + ", ".join(names)}
    assert state["seen"]
