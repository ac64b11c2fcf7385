"""Thread scaling on free-threaded CPython: two threads against one.

Each workload runs N calls on one thread, then N calls on each of two threads
at once; the scaling is 2 x wall(1 thread) / wall(2 threads), so 2.0 means two
cores did twice the work in the same time. Repetitions alternate the two, and
the median of the per-repetition figures is printed with its spread.

- check: dorvane.check_project_structure() on the complete installation;
- gen_music: the gate, then the fixed wait patched out through the module's
  `time` (a call that succeeds past the gate);
- generate_tts: against the stand-in service (bench/harness.py, a child
  process), the wait patched out; the service runs on the same cores, so this
  figure is bounded by what the machine has left for it;
- references: the same check as a plain def (reference.plain_check), and a
  pure-Python loop of about the check's length, which shows what scaling the
  machine has to give at the time.

The script runs each measurement in a child interpreter twice: with the
interpreter lock off (PYTHON_GIL=0) and on (PYTHON_GIL=1). Run it with a
free-threaded interpreter (3.13t) that has dorvane installed; the target is
a check scaling of at least 1.8 with the lock off on two cores.

    python3.13t bench/free_threaded.py            # 7 repetitions
    python3.13t bench/free_threaded.py --quick    # 3 repetitions, fewer calls
"""

import argparse
import json
import os
import subprocess
import sys
import sysconfig
import threading
import time
import types

import harness

from support import reference
from support.defaults import TTS_PATH

WORKLOADS = {
    "check": 20000,
    "gen_music": 20000,
    "generate_tts": 300,
    "plain check": 5000,
    "python loop": 20000,
}


def python_loop():
    total = 0
    for i in range(300):
        total += i
    return total


def wall(call, threads, count):
    """Seconds for `threads` threads to make `count` calls each."""
    ready = threading.Barrier(threads + 1)

    def work():
        ready.wait()
        for _ in range(count):
            call()

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    ready.wait()
    start = time.perf_counter()
    for worker in workers:
        worker.join()
    return time.perf_counter() - start


def measure(repetitions, scale):
    """One interpreter's figures, as a dict printed as JSON."""
    dorvane, _ = harness.install()
    quiet = types.ModuleType("time")
    quiet.__dict__.update(vars(time))
    quiet.sleep = lambda seconds: None
    dorvane.time = quiet

    with harness.StandIn() as service:
        endpoint = service.url + TTS_PATH
        calls = {
            "check": dorvane.check_project_structure,
            "gen_music": lambda: dorvane.gen_music("tune"),
            "generate_tts": lambda: dorvane.generate_tts("hi", "v", tts_endpoint=endpoint),
            "plain check": reference.plain_check(dorvane.__file__),
            "python loop": python_loop,
        }
        assert calls["check"]() == {"status": True}
        assert "error" in calls["gen_music"]()
        assert "error" not in calls["generate_tts"]()
        figures = {}
        for name, call in calls.items():
            count = max(1, int(WORKLOADS[name] * scale))
            wall(call, 1, count // 10)  # warm-up: caches, connections
            ratios, singles = [], []
            for _ in range(repetitions):
                one = wall(call, 1, count)
                two = wall(call, 2, count)
                singles.append(one / count)
                ratios.append(2 * one / two)
            figures[name] = {
                "count": count,
                "scaling": harness.median(ratios),
                "spread": harness.spread(ratios),
                "call_us": harness.median(singles) * 1e6,
            }
    return {"gil": sys._is_gil_enabled(), "figures": figures}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="3 repetitions of a tenth of the calls")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    repetitions, scale = (3, 0.1) if args.quick else (7, 1.0)
    if args.child:
        print(json.dumps(measure(repetitions, scale)))
        return
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        sys.exit("run this with a free-threaded interpreter (python3.13t)")

    print(
        f"Python {sys.version.split()[0]} (free-threaded), {os.cpu_count()} cores, "
        f"{repetitions} repetitions; scaling = 2 x wall(1 thread) / wall(2 threads)"
    )
    results = {}
    for lock in ("0", "1"):
        env = dict(os.environ, PYTHON_GIL=lock)
        child = [sys.executable, __file__, "--child"] + (["--quick"] if args.quick else [])
        out = subprocess.run(child, env=env, check=True, capture_output=True, text=True).stdout
        results[lock] = json.loads(out.splitlines()[-1])
        assert results[lock]["gil"] == (lock == "1"), results[lock]

    print(f"{'workload':<14}{'calls':>7}  {'lock off':>22}  {'lock on':>22}  {'1 thread, off / on':>22}")
    for name in WORKLOADS:
        off, on = results["0"]["figures"][name], results["1"]["figures"][name]
        print(
            f"{name:<14}{off['count']:>7}  {off['scaling']:>7.3f} ({off['spread']:>12})  "
            f"{on['scaling']:>7.3f} ({on['spread']:>12})  "
            f"{off['call_us']:>9.2f} / {on['call_us']:.2f} us"
        )
    check = results["0"]["figures"]["check"]["scaling"]
    print(
        f"check scaling with the lock off: {check:.3f} (target >= 1.8: {'met' if check >= 1.8 else 'not met'})"
    )


if __name__ == "__main__":
    main()
