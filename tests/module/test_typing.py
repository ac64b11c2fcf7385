"""The installed module's stub as a host's type checker sees it: mypy --strict
finds it through the installation alone and passes correct host code, and
reports a wrong call or a misused result before anything runs; and the stub
says what the module does: its names, parameters and defaults are the ones
the imported module reports."""

import os
import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy", reason="mypy is not installed (requirements-test.txt)")

CORRECT = """
from typing import Any, Literal, assert_type

import dorvane


def speak(text: str) -> str:
    result = dorvane.generate_tts(text, "v1", speed=1.2, pitch="0.9", wait_time=(3.05, 27))
    if isinstance(result, tuple):
        payload, status = result
        assert_type(status, Literal[400])
        return str(payload["error"])
    return str(result["data"]["convert_result"])


assert_type(dorvane.check_project_structure({"models": ["a.bin"], "zonos": ("config.py",)}), dict[str, Any])
assert_type(dorvane.check_project_structure(), dict[str, Any])
assert_type(dorvane.clone_voice("https://cdn/a.wav", 7, timeout=None, output_folder="out/"),
            dict[str, Any] | tuple[dict[str, Any], Literal[400]])
assert_type(dorvane.transcribe_audio(audio_url="https://cdn/a.wav", timeout=2.5),
            dict[str, Any] | tuple[dict[str, Any], Literal[400]])
dorvane.gen_music("a tune")
dorvane.sep_music(url=b"https://cdn/a.wav")
dorvane.run_mod(size=2)
"""

# Each line with the error code mypy must report on it, and only there.
WRONG = """
import dorvane
dorvane.generate_tts("hi")  # call-arg: voice_id missing
dorvane.generate_tts("hi", "v1", wait=5)  # call-arg: no such keyword
dorvane.generate_tts("hi", "v1", base_url=5000)  # arg-type
dorvane.generate_tts(b"hi", "v1")  # arg-type: bytes are no JSON value
dorvane.clone_voice("https://cdn/a.wav", "v1", "https://tts", "100")  # arg-type: a time-out is a number
dorvane.check_project_structure(["models"])  # arg-type: a list, not a mapping
dorvane.run_mod(1.5)  # arg-type: torch takes a whole number of elements
dorvane.transcribe_audio("https://cdn/a.wav")["transcription"]  # call-overload: the refusal is a tuple
done = dorvane.run_mod(1)  # func-returns-value: it returns nothing
"""


def mypy(tmp_path, *args):
    """mypy run where no stub lies, so that the stub it finds is the installed one."""
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=240
    )


def test_mypy_strict_checks_host_code_against_installed_stub(tmp_path):
    (tmp_path / "correct.py").write_text(CORRECT)
    (tmp_path / "wrong.py").write_text(WRONG)
    checked = mypy(
        tmp_path,
        "mypy",
        "--strict",
        "--no-error-summary",
        "--show-error-codes",
        "--cache-dir",
        str(tmp_path / "cache"),
        "--python-executable",
        sys.executable,
        "correct.py",
        "wrong.py",
    )
    reported = {
        (name, int(line), code)
        for name, line, code in re.findall(r"^(\w+)\.py:(\d+): error: .*\[([\w-]+)\]$", checked.stdout, re.M)
    }
    expected = {
        ("wrong", number, text.split("#")[1].split(":")[0].strip())
        for number, text in enumerate(WRONG.splitlines(), 1)
        if "#" in text
    }
    assert reported == expected, checked.stdout + checked.stderr
    assert checked.returncode == 1


def test_installed_stub_matches_the_module_at_run_time(tmp_path):
    checked = mypy(tmp_path, "mypy.stubtest", "--mypy-config-file", os.devnull, "dorvane")
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert "Success" in checked.stdout
