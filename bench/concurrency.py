"""Concurrency: K caller threads at once, each through the real 10-second wait.

For each operation, and for K threads spread over the three in turn, K threads
start together and each makes one call against the stand-in service; the wall
time until the last one returns is divided by the wall time of a single call
measured in the same run (for the spread threads, the slowest of the three
single calls). A call that waits without blocking the others keeps that ratio
near 1. A plain-Python generate_tts doing the same exchange runs alongside, for
what the libraries cost by themselves. The resident memory the process gains
while the calls are in flight, divided by their number, is set beside what
bare threads that only sleep gain, so the part the calls themselves hold is
visible. Run once with the largest K before the timed runs, untimed, so that
the allocator's per-thread arenas exist before any row is charged for them.

    .venv/bin/python bench/concurrency.py            # K = 1, 8, 32, 128; 3 runs
    .venv/bin/python bench/concurrency.py --quick    # K = 1, 8; 1 run
"""

import argparse
import atexit
import os
import shutil
import sys
import tempfile
import threading
import time

import harness

from support import reference
from support.defaults import BASE_URL, TRANSCRIBE_PATH, TTS_PATH

TARGETS = {32: 1.05, 128: 1.10}


def operations(dorvane, root):
    """name -> (call, expected result)."""
    plain_generate_tts = reference.make_generate_tts(
        reference.plain_check(dorvane.__file__), dorvane.generate_tts
    )
    return {
        "generate_tts": (
            lambda: dorvane.generate_tts("hello", "voice-1", base_url=BASE_URL, tts_endpoint=root + TTS_PATH),
            {"data": {"convert_result": [{"oss_url": BASE_URL + "output/tts/small.wav"}]}},
        ),
        "transcribe_audio": (
            lambda: dorvane.transcribe_audio(root + "/audio/small.wav", stt_endpoint=root + TRANSCRIBE_PATH),
            {"transcription": "hello world"},
        ),
        "sep_music": (
            lambda: dorvane.sep_music(root + "/audio/small.wav"),
            {"error": "A100 GPU is required to run this code."},
        ),
        "plain-Python generate_tts (reference)": (
            lambda: plain_generate_tts("hello", "voice-1", base_url=BASE_URL, tts_endpoint=root + TTS_PATH),
            {"data": {"convert_result": [{"oss_url": BASE_URL + "output/tts/small.wav"}]}},
        ),
    }


MIXED = "mixed: K threads over the three"
MODULE_OPS = ["generate_tts", "transcribe_audio", "sep_music"]


def burst(calls):
    """Runs every call on its own thread, all released together.

    Returns (wall seconds, resident KiB gained at the peak, results)."""
    results = [None] * len(calls)
    gate = threading.Barrier(len(calls) + 1)

    def worker(i):
        gate.wait()
        try:
            results[i] = calls[i]()
        except BaseException as error:  # reported below, never hidden
            results[i] = error

    base = harness.proc_status_kib("VmRSS")
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(calls))]
    for thread in threads:
        thread.start()
    with harness.Peak(lambda: harness.proc_status_kib("VmRSS")) as rss:
        gate.wait()
        start = time.perf_counter()
        for thread in threads:
            thread.join()
        wall = time.perf_counter() - start
    return wall, rss.peak - base, results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--ks", default="1,8,32,128", help="thread counts, comma-separated")
    parser.add_argument("--runs", type=int, default=3, help="runs per figure (median)")
    parser.add_argument(
        "--only", default="", help="comma-separated operations (default: all, then all three at once)"
    )
    parser.add_argument("--quick", action="store_true", help="K = 1, 8 and one run")
    args = parser.parse_args()
    ks = [1, 8] if args.quick else [int(k) for k in args.ks.split(",")]
    runs = 1 if args.quick else args.runs
    if ks[0] != 1:
        ks.insert(0, 1)

    dorvane, _ = harness.install()
    workdir = tempfile.mkdtemp(prefix="dorvane-bench-cwd-")
    atexit.register(shutil.rmtree, workdir, True)
    os.chdir(workdir)  # generate_tts writes output/tts here

    with harness.StandIn() as service:
        ops = operations(dorvane, service.url)
        rows = list(ops) + [MIXED]
        if args.only:
            rows = [r for r in rows if r in args.only.split(",")]
        walls = {(row, k): [] for row in rows for k in ks}
        gains = {(row, k): [] for row in rows for k in ks}
        bare = {k: [] for k in ks}
        # One untimed burst at the largest K first: the allocator sets up its
        # per-thread arenas on first use, and whichever row ran first would
        # otherwise be charged with them.
        every = list(ops)
        burst([ops[every[i % len(every)]][0] for i in range(max(ks))])
        for run in range(runs):
            for k in ks:
                # Threads that only sleep: what a thread costs by itself.
                _, gained, _ = burst([lambda: time.sleep(0.5)] * k)
                bare[k].append(gained / k)
                for row in rows[run % len(rows) :] + rows[: run % len(rows)]:
                    if row == MIXED and k == 1:
                        continue  # its reference is the slowest single call
                    names = [row] * k if row != MIXED else [MODULE_OPS[i % 3] for i in range(k)]
                    wall, gained, results = burst([ops[name][0] for name in names])
                    wrong = [r for r, name in zip(results, names, strict=True) if r != ops[name][1]]
                    if wrong:
                        sys.exit(f"{row}, K={k}: {len(wrong)} calls went wrong, first: {wrong[0]!r}")
                    walls[row, k].append(wall)
                    gains[row, k].append(gained / k)
                    print(
                        f"run {run + 1}/{runs} {row[:24]:<24} K={k:<4} wall {wall:7.3f} s  "
                        f"+{gained / k:7.1f} KiB/call",
                        file=sys.stderr,
                        flush=True,
                    )
        if MIXED in rows:
            walls[MIXED, 1] = [max(harness.median(walls[name, 1]) for name in MODULE_OPS)]
            gains[MIXED, 1] = [float("nan")]

    print(f"\nconcurrency: {runs} run(s), median wall; ratio = wall(K) / wall(1) of the same row\n")
    print(
        "| operation | K | wall (s) | wall(K)/wall(1) | target | RSS per call in flight (KiB) | bare sleeping thread (KiB) |"
    )
    print("|---|---|---|---|---|---|---|")
    for row in rows:
        one = harness.median(walls[row, 1])
        for k in ks:
            wall = harness.median(walls[row, k])
            ratio = wall / one
            target = TARGETS.get(k) if row in MODULE_OPS or row == MIXED else None
            verdict = "" if target is None else f"≤ {target:.2f} {'met' if ratio <= target else 'MISSED'}"
            gain = harness.median(gains[row, k])
            print(
                f"| {row} | {k} | {wall:.3f} ({harness.spread(walls[row, k])}) | "
                f"{ratio:.4f} | {verdict} | {'n/a' if gain != gain else f'{gain:.0f}'} | "
                f"{harness.median(bare[k]):.0f} |"
            )


if __name__ == "__main__":
    main()
