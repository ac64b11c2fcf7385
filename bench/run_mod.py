"""GPU load routine on the CPU: run_mod(size) against a plain torch loop doing the same work.

Both sides run in child processes of their own, one after the other, in turns
(each holds about three times the tensor size at its peak):

- dorvane: `run_mod(size)`, with `dorvane.torch` replaced by a thin proxy
  that counts and time-stamps its `randn_like` calls;
- plain: `tensor = torch.randn(n)`, then for 10 seconds of `time.time()`
  `tensor = tensor * torch.randn_like(tensor)`, through the same proxy
  (reference.run_mod, from support/).

Reported: the iterations each completes in its 10 seconds, the mean time
from one iteration's start to the next, and the growth of the child's peak resident size
during the call against three times the tensor size. Size 0 (an empty
tensor) measures what one iteration costs beyond the tensor work itself.

    .venv/bin/python bench/run_mod.py            # sizes 1 and 0 GiB, 3 runs per side
    .venv/bin/python bench/run_mod.py --quick    # size 0, 1 run per side
"""

import argparse
import json
import subprocess
import sys
import time

import harness

from support import reference


class CountingTorch:
    """torch, with its randn_like calls counted and the first and the last
    time-stamped (nothing that grows: an empty tensor runs millions)."""

    def __init__(self, torch):
        self._torch = torch
        self.count = 0
        self.first = self.last = None

    def __getattr__(self, name):
        return getattr(self._torch, name)

    def randn_like(self, tensor):
        self.last = time.perf_counter()
        if self.first is None:
            self.first = self.last
        self.count += 1
        return self._torch.randn_like(tensor)


def child(side, size):
    if side == "dorvane":
        dorvane, _ = harness.install()
        proxy = CountingTorch(dorvane.torch)
        dorvane.torch = proxy
        lines = []
        dorvane.print = lines.append

        def call():
            dorvane.run_mod(size)
            assert lines[-1] == "GPU load completed.", lines
    else:
        import torch

        proxy = CountingTorch(torch)

        def call():
            reference.run_mod(size, proxy)

    harness.reset_peak_rss()
    base = harness.proc_status_kib("VmRSS")
    call()
    peak = harness.proc_status_kib("VmHWM")
    print(
        json.dumps(
            {
                "iterations": proxy.count,
                # Mean time from one iteration's start to the next one's.
                "gap": (proxy.last - proxy.first) / (proxy.count - 1) if proxy.count > 1 else float("nan"),
                "growth_kib": peak - base,
            }
        )
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="1,0", help="GiB, comma-separated")
    parser.add_argument("--runs", type=int, default=3, help="runs per side and size (median)")
    parser.add_argument("--quick", action="store_true", help="size 0, one run per side")
    parser.add_argument("--child", nargs=2, metavar=("SIDE", "SIZE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]))
        return
    sizes, runs = ([0], 1) if args.quick else ([int(s) for s in args.sizes.split(",")], args.runs)

    sides = ["dorvane", "plain"]
    figures = {(side, size): [] for side in sides for size in sizes}
    for run in range(runs):
        for size in sizes:
            for side in sides if run % 2 == 0 else sides[::-1]:
                out = subprocess.run(
                    [sys.executable, __file__, "--child", side, str(size)],
                    check=True,
                    capture_output=True,
                    text=True,
                ).stdout
                figure = json.loads(out.splitlines()[-1])
                figures[side, size].append(figure)
                print(
                    f"run {run + 1}/{runs} size {size} {side:<8} {figure['iterations']:8d} iterations"
                    f"  {figure['gap'] * 1e3:9.3f} ms each  peak +{figure['growth_kib'] / 1024:.0f} MiB",
                    file=sys.stderr,
                    flush=True,
                )

    print(
        f"\nrun_mod on the CPU: {runs} run(s) per side and size, medians. An iteration of"
        " a large tensor takes seconds, so the count in 10 s is coarse; the work rate"
        " (plain ms per iteration / dorvane ms per iteration) is the finer figure\n"
    )
    print(
        "| size (GiB) | side | iterations in 10 s | iteration ratio | ms per iteration | work-rate ratio | "
        "peak RSS growth (MiB) | growth / (3 × tensor) | target |"
    )
    print("|---|---|---|---|---|---|---|---|---|")
    for size in sizes:

        def med(side, key, size=size):
            return harness.median([f[key] for f in figures[side, size]])

        for side in sides:
            ratio = med(side, "iterations") / med("plain", "iterations")
            rate = med("plain", "gap") / med(side, "gap")
            growth = med(side, "growth_kib") / 1024
            three = 3 * size * 1024
            share = f"{growth / three:.3f}" if three else "n/a"
            target = ""
            if side == "dorvane":
                target = (
                    f"iterations ≥ 0.97 {'met' if ratio >= 0.97 else 'MISSED'}; "
                    f"work rate ≥ 0.97 {'met' if rate >= 0.97 else 'MISSED'}"
                )
                if three:
                    target += f"; peak ≤ 3 × tensor {'met' if growth <= three * 1.02 else 'MISSED'}"
            spread = harness.spread([f["iterations"] for f in figures[side, size]])
            print(
                f"| {size} | {side} | {med(side, 'iterations'):.0f} ({spread}) | {ratio:.3f} | "
                f"{med(side, 'gap') * 1e3:.4g} | {rate:.3f} | {growth:.0f} | {share} | {target} |"
            )


if __name__ == "__main__":
    main()
