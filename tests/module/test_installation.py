"""The installation check and the gate every operation but run_mod passes first."""

import os

import pytest

MODELS = ["whisper_model.safetensors", "voice_clone_00001-of-00002.safetensors",
          "musicgen_00002-of-00002.bin", "D_Onigiri_50968.pth"]


def test_complete_installation(dorvane):
    assert dorvane.check_project_structure() == {"status": True}


@pytest.mark.parametrize("breakage, message", [
    (["models"], "Code is not complete. 'models' folder is missing."),
    # The first shortfall in layout order is the one reported.
    (["models", "token", "zonos"], "Code is not complete. 'models' folder is missing."),
    (["token/tokenizer.json", "zonos"], "Files not found in 'token': tokenizer.json"),
    (["models/musicgen_00002-of-00002.bin", "models/D_Onigiri_50968.pth"],
     "Files not found in 'models': musicgen_00002-of-00002.bin, D_Onigiri_50968.pth"),
    (["zonos/config.py"], "Files not found in 'zonos': config.py"),
    (["zonos"], "Code is not complete. 'zonos' folder is missing."),
])
def test_first_shortfall_is_reported(dorvane, installation, breakage, message):
    for relative in breakage:
        installation.remove(relative)
    assert dorvane.check_project_structure() == {"error": message}


def test_a_file_in_place_of_a_folder_is_a_missing_folder(dorvane, installation):
    installation.remove("models")
    (installation.root / "models").write_bytes(b"")
    assert dorvane.check_project_structure() == {"error": "Code is not complete. 'models' folder is missing."}


def test_a_folder_in_place_of_a_file_is_a_missing_file(dorvane, installation):
    installation.remove("token/mtl_tokenizer.json")
    (installation.root / "token" / "mtl_tokenizer.json").mkdir()
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


@pytest.mark.parametrize("mapping, expected", [
    ({}, {"status": True}),
    ({"models": MODELS[:1]}, {"status": True}),
    ({"models": ["absent.bin", MODELS[0], "gone.pt"]}, {"error": "Files not found in 'models': absent.bin, gone.pt"}),
    ({"weights": []}, {"error": "Code is not complete. 'weights' folder is missing."}),
    # The caller's mapping replaces the default: a missing default folder is not looked at.
    ({"token": ["tokenizer.json"]}, {"status": True}),
], ids=["empty", "subset", "missing-files", "missing-folder", "replaces-default"])
def test_caller_mapping(dorvane, installation, mapping, expected):
    installation.remove("models/" + MODELS[3])
    assert dorvane.check_project_structure(mapping) == expected
    assert dorvane.check_project_structure(required_folders=mapping) == expected


def test_default_layout_cannot_be_changed_by_a_caller(dorvane, installation):
    installation.remove("zonos/config.py")
    first = dorvane.check_project_structure()
    first["error"] = "changed"
    assert dorvane.check_project_structure() == {"error": "Files not found in 'zonos': config.py"}


@pytest.mark.parametrize("mapping, error", [
    ([("models", [])], AttributeError),
    ({"models": 1}, TypeError),
    ({1: []}, TypeError),
    ({"models": [1]}, TypeError),
])
def test_malformed_mappings_raise(dorvane, mapping, error):
    with pytest.raises(error):
        dorvane.check_project_structure(mapping)


class Items:
    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items


@pytest.mark.parametrize("items, message", [
    ([("models",)], "not enough values to unpack (expected 2, got 1)"),
    ([("models", [], "x")], "too many values to unpack (expected 2)"),
    ([7], "cannot unpack non-iterable int object"),
])
def test_items_that_are_not_pairs(dorvane, items, message):
    with pytest.raises((ValueError, TypeError)) as excinfo:
        dorvane.check_project_structure(Items(items))
    assert str(excinfo.value) == message


def test_os_is_looked_up_at_call_time(dorvane, monkeypatch):
    seen = []
    real_isdir = os.path.isdir
    monkeypatch.setattr(dorvane.os.path, "isdir", lambda p: seen.append(p) or real_isdir(p))
    dorvane.check_project_structure()
    assert [os.path.basename(p) for p in seen] == ["models", "token", "zonos"]


GATED = {
    "generate_tts": ("hello", "voice"),
    "clone_voice": ("http://127.0.0.1:9/a.wav", "voice"),
    "transcribe_audio": ("http://127.0.0.1:9/a.wav",),
    "gen_music": ("a song",),
    "sep_music": ("http://127.0.0.1:9/a.wav",),
}


@pytest.mark.parametrize("name", GATED)
def test_gate_refuses_an_incomplete_installation(dorvane, installation, sleeps, monkeypatch, name):
    posts = []
    monkeypatch.setattr(dorvane.requests, "post", lambda *a, **k: posts.append(a))
    installation.remove("token/tokenizer.json")
    result = getattr(dorvane, name)(*GATED[name])
    assert result == ({"error": "Files not found in 'token': tokenizer.json"}, 400)
    assert type(result) is tuple and type(result[1]) is int
    assert posts == [] and sleeps == []
    assert not os.path.exists("output/tts")


@pytest.mark.parametrize("name", GATED)
def test_gate_returns_the_check_payload_itself(dorvane, monkeypatch, name):
    refusal = {"error": "custom", "extra": 1}
    monkeypatch.setattr(dorvane, "check_project_structure", lambda: refusal)
    payload, status = getattr(dorvane, name)(*GATED[name])
    assert payload is refusal and status == 400
