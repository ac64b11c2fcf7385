"""Cloning download: clone_voice against the same requests streaming loop in plain Python.

The stand-in service answers the cloning request with a link to a body of
--size bytes (1 GiB by default) that it produces on the fly over loopback.
Each side runs in a child process of its own, one after the other, in turns:

- dorvane: `clone_voice(...)` into a temporary output folder;
- plain: the same job in plain Python (reference.clone_voice, from
  support/): the output folder made, the installation check as a plain def
  (reference.plain_check), `requests.post` with the JSON body,
  `raise_for_status`, `json`, then `requests.get(url, stream=True)`,
  `raise_for_status` and `iter_content(8192)` written into a file under a
  temporary name, renamed once complete, as the module writes its files.

Throughput is the body size over the call's wall time; memory is the growth
of the child's peak resident size (VmHWM, reset just before the call) over
its resident size at that moment. The downloaded file is checked for its size
and deleted.

With --calls N it measures the cost per successful call instead: N calls of
a --size body on each side (44,000 bytes, a short clip, unless given), in
one process, in ten alternating blocks; the figure is the process's CPU per
call, the median of its blocks.

    .venv/bin/python bench/clone.py            # 1 GiB, 3 runs per side
    .venv/bin/python bench/clone.py --quick    # 64 MiB, 1 run per side
    .venv/bin/python bench/clone.py --calls 1000
"""

import argparse
import atexit
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import harness

from support.defaults import BASE_URL, CLONE_PATH

GIB = 1024 * harness.MIB


def child(side, root, size):
    """One measured call; prints its figures as JSON."""
    output_folder = tempfile.mkdtemp(prefix="dorvane-bench-clone-")
    try:
        call = calling(side, root, output_folder)
        harness.reset_peak_rss()
        base = harness.proc_status_kib("VmRSS")
        cpu_start = time.process_time()
        start = time.perf_counter()
        result = call()
        seconds = time.perf_counter() - start
        cpu = time.process_time() - cpu_start
        peak = harness.proc_status_kib("VmHWM")
        written = os.path.getsize(os.path.join(output_folder, "clone.wav"))
        if written != size or not str(result.get("data", "")).endswith("/clone.wav"):
            sys.exit(f"{side}: wrong result {result!r}, {written} bytes written")
        print(json.dumps({"seconds": seconds, "cpu": cpu, "growth_kib": peak - base}))
    finally:
        shutil.rmtree(output_folder, ignore_errors=True)


def calling(side, root, output_folder):
    """One side's call into `output_folder`. The plain side never imports
    the module (nor torch with it): its installation check looks at a
    layout of its own."""
    if side == "dorvane":
        dorvane, _ = harness.install()
        return lambda: dorvane.clone_voice(
            root + "/audio/small.wav",
            "voice-1",
            tts_endpoint=root + CLONE_PATH,
            output_folder=output_folder,
            base_url=BASE_URL,
        )
    from support import reference  # and requests with it, before the reading, as dorvane's is

    home = Path(tempfile.mkdtemp(prefix="dorvane-bench-plain-"))
    atexit.register(shutil.rmtree, home, True)
    harness.lay_out(home)
    check = reference.plain_check(str(home / "plain.py"))
    return lambda: reference.clone_voice(
        root + "/audio/small.wav", "voice-1", root + CLONE_PATH, BASE_URL, check, output_folder=output_folder
    )


def per_call(size, calls, blocks=10):
    """CPU µs per successful call of each side, one figure per block."""
    output_folder = tempfile.mkdtemp(prefix="dorvane-bench-clone-") + "/"
    try:
        with harness.StandIn(body_bytes=size) as service:
            sides = {side: calling(side, service.url, output_folder) for side in ("dorvane", "plain")}
            for call in sides.values():  # warm, and checked
                if not str(call().get("data", "")).endswith("/clone.wav"):
                    sys.exit(f"wrong result from a call: {call()!r}")
            figures = {side: [] for side in sides}
            for block in range(blocks):
                for side in sides if block % 2 == 0 else list(sides)[::-1]:
                    start = time.process_time()
                    for _ in range(calls // blocks):
                        sides[side]()
                    figures[side].append((time.process_time() - start) / (calls // blocks) * 1e6)
    finally:
        shutil.rmtree(output_folder, ignore_errors=True)
    plain = harness.median(figures["plain"])
    print(
        f"\nclone_voice per successful call: {size:,}-byte body, {calls} calls per side in {blocks} blocks\n"
    )
    print("| side | CPU per call (µs), median | spread | ratio to plain | target |")
    print("|---|---|---|---|---|")
    for side, values in figures.items():
        ratio = harness.median(values) / plain
        target = f"at or under plain: {'met' if ratio <= 1 else 'over'}" if side == "dorvane" else ""
        print(
            f"| {side} | {harness.median(values):.0f} | {harness.spread(values)} | {ratio:.3f} | {target} |"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=GIB, help="body size in bytes")
    parser.add_argument("--runs", type=int, default=3, help="runs per side (median)")
    parser.add_argument("--calls", type=int, help="the cost per successful call, over this many calls")
    parser.add_argument("--quick", action="store_true", help="64 MiB, one run per side")
    parser.add_argument("--child", nargs=2, metavar=("SIDE", "ROOT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child, args.size)
        return
    if args.calls:
        per_call(args.size if args.size != GIB else 44_000, args.calls)
        return
    size, runs = (64 * harness.MIB, 1) if args.quick else (args.size, args.runs)

    sides = ["dorvane", "plain"]
    figures = {side: [] for side in sides}
    with harness.StandIn(body_bytes=size) as service:
        for run in range(runs):
            for side in sides if run % 2 == 0 else sides[::-1]:
                out = subprocess.run(
                    [sys.executable, __file__, "--size", str(size), "--child", side, service.url],
                    check=True,
                    capture_output=True,
                    text=True,
                ).stdout
                figure = json.loads(out)
                figures[side].append(figure)
                print(
                    f"run {run + 1}/{runs} {side:<8} {size / harness.MIB / figure['seconds']:8.1f} MiB/s"
                    f"  {figure['cpu']:6.2f} s CPU  peak +{figure['growth_kib'] / 1024:.1f} MiB",
                    file=sys.stderr,
                    flush=True,
                )

    rate = {s: [size / harness.MIB / f["seconds"] for f in figures[s]] for s in sides}
    cpu = {s: [f["cpu"] for f in figures[s]] for s in sides}
    growth = {s: [f["growth_kib"] / 1024 for f in figures[s]] for s in sides}
    ratio = harness.median(rate["dorvane"]) / harness.median(rate["plain"])
    print(
        f"\ncloning download: {size / harness.MIB:.0f} MiB over loopback, {runs} run(s) per side, medians;"
        " CPU is the child's own (user + system) during the call\n"
    )
    print(
        "| side | throughput (MiB/s) | spread | throughput ratio | CPU (s) | CPU ratio | peak RSS growth (MiB) | target |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for side in sides:
        g = harness.median(growth[side])
        target = ""
        if side == "dorvane":
            target = (
                f"ratio ≥ 0.95 {'met' if ratio >= 0.95 else 'MISSED'}; "
                f"growth ≤ 32 MiB {'met' if g <= 32 else 'MISSED'}"
            )
        print(
            f"| {side} | {harness.median(rate[side]):.1f} | {harness.spread(rate[side])} | "
            f"{harness.median(rate[side]) / harness.median(rate['plain']):.3f} | "
            f"{harness.median(cpu[side]):.2f} | {harness.median(cpu[side]) / harness.median(cpu['plain']):.3f} | "
            f"{g:.1f} | {target} |"
        )


if __name__ == "__main__":
    main()
