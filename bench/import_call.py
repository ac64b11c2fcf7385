"""Import and call overhead: `import dorvane` against its libraries alone, and a
binding error (TypeError) against the same error from a plain def.

Import: a fresh interpreter runs `import dorvane`, `import requests, torch`
or nothing, in turns; the median wall time of each is compared.

Binding errors: the cost of `try: f(...) except TypeError: pass` for three
kinds of wrong call (a missing argument, one too many, an unknown keyword),
with f a module function and a plain def of the same parameters; both raise
the same message (checked). Timings alternate within each repetition.

    .venv/bin/python bench/import_call.py            # 15 imports per side; 15 x 20000 calls
    .venv/bin/python bench/import_call.py --quick    # 3 imports per side; 5 x 2000 calls
"""

import argparse
import subprocess
import sys
import time
import timeit

import harness

IMPORTS = {
    "import dorvane": "import dorvane",
    "import requests, torch": "import requests, torch",
    "bare interpreter (reference)": "pass",
}


def time_imports(runs):
    times = {name: [] for name in IMPORTS}
    names = list(IMPORTS)
    for run in range(runs):
        for name in names[run % len(names):] + names[: run % len(names)]:
            start = time.perf_counter()
            subprocess.run([sys.executable, "-c", IMPORTS[name]], check=True)
            times[name].append(time.perf_counter() - start)
    return times


PLAIN = """
def run_mod(size):
    pass

def sep_music(url):
    pass

def gen_music(music_prompt):
    pass
"""


def plain_functions():
    """Top-level defs, so their error texts name them as the module's do."""
    namespace = {"__name__": "plain"}
    exec(compile(PLAIN, "plain.py", "exec"), namespace)
    return namespace


# (label, function name, call statement on f)
WRONG_CALLS = [
    ("missing argument: run_mod()", "run_mod", "f()"),
    ("one too many: sep_music(1, 2)", "sep_music", "f(1, 2)"),
    ("unknown keyword: gen_music(prompt=1)", "gen_music", "f(prompt=1)"),
]


def message(f, statement):
    try:
        eval(statement, {"f": f})
    except TypeError as error:
        return str(error)
    raise AssertionError(f"{statement} did not raise")


def time_errors(dorvane, reps, number):
    plain = plain_functions()
    rows = []
    for label, name, statement in WRONG_CALLS:
        sides = {"dorvane": getattr(dorvane, name), "plain def": plain[name]}
        texts = {side: message(f, statement) for side, f in sides.items()}
        assert texts["dorvane"] == texts["plain def"], texts
        timers = {
            side: timeit.Timer(f"try:\n    {statement}\nexcept TypeError:\n    pass", globals={"f": f})
            for side, f in sides.items()
        }
        times = {side: [] for side in sides}
        for rep in range(reps):
            for side in list(sides) if rep % 2 == 0 else list(sides)[::-1]:
                times[side].append(timers[side].timeit(number) / number * 1e6)
        rows.append((label, times))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--imports", type=int, default=15, help="fresh interpreters per side")
    parser.add_argument("--reps", type=int, default=15)
    parser.add_argument("--number", type=int, default=20000, help="calls per timing")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    imports, reps, number = (3, 5, 2000) if args.quick else (args.imports, args.reps, args.number)

    times = time_imports(imports)
    libraries = harness.median(times["import requests, torch"])
    print(f"\nimport in a fresh interpreter: {imports} run(s) each, median wall\n")
    print("| command | seconds | spread | ratio to `import requests, torch` | target |")
    print("|---|---|---|---|---|")
    for name, values in times.items():
        ratio = harness.median(values) / libraries
        target = f"≤ 1.05 {'met' if ratio <= 1.05 else 'MISSED'}" if name == "import dorvane" else ""
        print(f"| `python -c \"{IMPORTS[name]}\"` | {harness.median(values):.3f} | "
              f"{harness.spread(values)} | {ratio:.3f} | {target} |")

    dorvane, _ = harness.install()
    print(f"\nbinding error (TypeError raised and caught): {reps} x {number} calls, median µs per call\n")
    print("| wrong call | dorvane (µs) | plain def (µs) | ratio | target |")
    print("|---|---|---|---|---|")
    for label, side_times in time_errors(dorvane, reps, number):
        ours = harness.median(side_times["dorvane"])
        plain = harness.median(side_times["plain def"])
        ratio = ours / plain
        print(f"| {label} | {ours:.3f} | {plain:.3f} | {ratio:.3f} | "
              f"≤ 1.00 {'met' if ratio <= 1.0 else 'MISSED'} |")


if __name__ == "__main__":
    main()
