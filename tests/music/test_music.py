"""gen_music and sep_music: the fixed wait and the fixed answer (their gate is\nthe other operations', test_installation.py)."""

import time
from concurrent.futures import ThreadPoolExecutor

import pytest

GPU_REQUIRED = {"error": "A100 GPU is required to run this code."}


@pytest.mark.parametrize("name", ["gen_music", "sep_music"])
@pytest.mark.parametrize("value", ["a calm piano piece", "", None, 3])
def test_answer_after_the_wait(dorvane, sleeps, name, value):
    result = getattr(dorvane, name)(value)
    assert result == GPU_REQUIRED and type(result) is dict
    assert sleeps == [10] and type(sleeps[0]) is int


@pytest.mark.parametrize("name, keyword", [("gen_music", "music_prompt"), ("sep_music", "url")])
def test_by_keyword(dorvane, sleeps, name, keyword):
    assert getattr(dorvane, name)(**{keyword: "x"}) == GPU_REQUIRED


@pytest.mark.parametrize(
    "name, kwargs",
    [
        ("sep_music", {"music_prompt": "x"}),
        ("gen_music", {"url": "x"}),
        ("sep_music", {}),
    ],
)
def test_binding_errors_come_before_the_gate(dorvane, installation, monkeypatch, name, kwargs):
    checks = []
    monkeypatch.setattr(dorvane, "check_project_structure", lambda: checks.append(1) or {"status": True})
    with pytest.raises(TypeError, match=f"^{name}\\(\\) "):
        getattr(dorvane, name)(**kwargs)
    assert checks == []


@pytest.mark.real_wait
def test_waits_release_the_interpreter_lock(dorvane):
    start = time.perf_counter()
    with ThreadPoolExecutor(4) as pool:
        calls = [pool.submit(dorvane.sep_music, "x") for _ in range(4)]
        # The main thread keeps running Python while the calls wait.
        spins = 0
        while not all(call.done() for call in calls):
            spins += 1
            time.sleep(0.01)
    elapsed = time.perf_counter() - start
    assert [call.result() for call in calls] == [GPU_REQUIRED] * 4
    assert 10 <= elapsed < 20 and spins > 100
