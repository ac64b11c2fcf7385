"""run_mod: the load loop, its out-of-memory escape and its cleanup."""

import weakref

import pytest
import torch
from doubles import Reached

OPENING = ["Using device: cpu", "Version: TORV AI 1.0"]


def lines(capsys):
    return capsys.readouterr().out.splitlines()


@pytest.mark.real_wait
def test_real_run_on_the_cpu(dorvane, installation, capsys):
    # Also shows that no installation check runs.
    installation.remove("models")
    assert dorvane.run_mod(0) is None
    assert lines(capsys) == OPENING + ["GPU load completed."]


def test_loop_runs_until_ten_seconds_have_passed(dorvane, fake_torch, clock, capsys):
    torch_ = fake_torch()
    clock(100.0, 100.0, 105.0, 109.999, 110.0)
    dorvane.run_mod(0)
    assert torch_.calls.count("randn_like") == 3
    assert torch_.calls[-1] == "empty_cache" and torch_.collected == [1]
    assert lines(capsys) == OPENING + ["GPU load completed."]


@pytest.mark.parametrize(
    "size, elements",
    [
        (1, 268435456),
        (2, 536870912),
        (8, 2147483648),
        (0, 0),
        (0.5, 134217728.0),
        (True, 268435456),
    ],
)
def test_element_count(dorvane, fake_torch, size, elements):
    def stop(*args, **kwargs):
        raise Reached

    torch_ = fake_torch(randn=stop)
    with pytest.raises(Reached):
        dorvane.run_mod(size)
    ((name, args, kwargs),) = [c for c in torch_.calls if c[0] == "randn"]
    assert args == (elements,) and type(args[0]) is type(elements)
    assert list(kwargs) == ["device"] and str(kwargs["device"]) == "cpu"


def test_cuda_is_chosen_when_available(dorvane, fake_torch, capsys):
    def stop(*args, **kwargs):
        raise Reached

    torch_ = fake_torch(randn=stop, cuda_available=True)
    with pytest.raises(Reached):
        dorvane.run_mod(1)
    assert torch_.calls[0][2]["device"] == torch.device("cuda")
    assert lines(capsys) == ["Using device: cuda", "Version: TORV AI 1.0"]


def test_out_of_memory_ends_the_load_early(dorvane, fake_torch, clock, capsys):
    def oom(tensor):
        raise RuntimeError("CUDA out of memory. Tried to allocate 4.00 GiB")

    torch_ = fake_torch(randn_like=oom)
    clock(0.0, 0.0)
    assert dorvane.run_mod(0) is None
    assert lines(capsys) == OPENING + [
        "Caught OOM during operation, clearing memory...",
        "GPU load completed.",
    ]
    assert torch_.calls.count("empty_cache") == 2 and torch_.collected == [1, 1]


@pytest.mark.parametrize("where", ["randn", "randn_like"])
def test_other_errors_pass_through_after_cleanup(dorvane, fake_torch, clock, capsys, where):
    error = RuntimeError("Out Of Memory spelled differently")

    def fail(*args, **kwargs):
        raise error

    torch_ = fake_torch(**{where: fail})
    clock(0.0, 0.0)
    with pytest.raises(RuntimeError) as excinfo:
        dorvane.run_mod(0)
    assert excinfo.value is error
    assert lines(capsys) == OPENING
    assert torch_.calls.count("empty_cache") == 1 and torch_.collected == [1]


def test_errors_of_other_types_pass_through(dorvane, fake_torch, clock):
    error = MemoryError("host memory")

    def fail(tensor):
        raise error

    torch_ = fake_torch(randn_like=fail)
    clock(0.0, 0.0)
    with pytest.raises(MemoryError) as excinfo:
        dorvane.run_mod(0)
    assert excinfo.value is error and torch_.calls.count("empty_cache") == 1


def test_size_that_cannot_be_multiplied_fails_before_any_output(dorvane, fake_torch, capsys):
    torch_ = fake_torch()
    with pytest.raises(TypeError):
        dorvane.run_mod(None)
    assert lines(capsys) == [] and torch_.calls == []


def test_previous_tensor_is_released_once_the_product_exists(dorvane, fake_torch, clock):
    seen = []
    still_held = []

    def randn_like(tensor):
        # Only the tensor being multiplied may still be alive.
        still_held.append(sum(ref() is not None for ref in seen))
        seen.append(weakref.ref(tensor))
        return torch.randn_like(tensor)

    fake_torch(randn=lambda n, device: torch.randn(4, device=device), randn_like=randn_like)
    clock(0.0, *[0.0] * 5, 10.0)
    dorvane.run_mod(1)
    assert still_held == [0] * 5
    assert [ref() for ref in seen] == [None] * 5


def test_output_goes_through_sys_stdout(dorvane, fake_torch, clock, monkeypatch):
    import io
    import sys

    out = io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    fake_torch()
    clock(0.0, 10.0)
    dorvane.run_mod(0)
    assert out.getvalue() == "\n".join(OPENING + ["GPU load completed."]) + "\n"
