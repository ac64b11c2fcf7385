"""Cloning download: clone_voice against the same requests streaming loop in plain Python.

The stand-in service answers the cloning request with a link to a body of
--size bytes (1 GiB by default) that it produces on the fly over loopback.
Each side runs in a child process of its own, one after the other, in turns:

- dorvane: `clone_voice(...)` into a temporary output folder;
- plain: the same exchange in plain Python (reference.clone_voice, from
  support/): `requests.post` with the JSON body, `raise_for_status`,
  `json`, then `requests.get(url, stream=True)`, `raise_for_status` and
  `iter_content(8192)` written into a file.

Throughput is the body size over the call's wall time; memory is the growth
of the child's peak resident size (VmHWM, reset just before the call) over
its resident size at that moment. The downloaded file is checked for its size
and deleted.

    .venv/bin/python bench/clone.py            # 1 GiB, 3 runs per side
    .venv/bin/python bench/clone.py --quick    # 64 MiB, 1 run per side
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import harness

from support.defaults import BASE_URL, CLONE_PATH

GIB = 1024 * harness.MIB


def child(side, root, size):
    """One measured call; prints its figures as JSON."""
    output_folder = tempfile.mkdtemp(prefix="dorvane-bench-clone-")
    try:
        if side == "dorvane":
            dorvane, _ = harness.install()

            def call():
                return dorvane.clone_voice(
                    root + "/audio/small.wav",
                    "voice-1",
                    tts_endpoint=root + CLONE_PATH,
                    output_folder=output_folder,
                    base_url=BASE_URL,
                )
        else:
            from support import reference  # and requests with it, before the reading, as dorvane's is

            def call():
                return reference.clone_voice(
                    root + "/audio/small.wav",
                    "voice-1",
                    root + CLONE_PATH,
                    BASE_URL,
                    output_folder=output_folder,
                )

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=GIB, help="body size in bytes")
    parser.add_argument("--runs", type=int, default=3, help="runs per side (median)")
    parser.add_argument("--quick", action="store_true", help="64 MiB, one run per side")
    parser.add_argument("--child", nargs=2, metavar=("SIDE", "ROOT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child, args.size)
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
