"""Import and call overhead: `import dorvane` against its libraries alone, a
binding error (TypeError) against the same error from a plain def, and a call
that binds against the same call of a plain def.

Import: a fresh interpreter runs `import dorvane`, `import requests, torch`
or nothing, in turns; the median wall time of each is compared.

Binding errors: the cost of `try: f(...) except TypeError: pass` for three
kinds of wrong call (a missing argument, one too many, an unknown keyword),
with f a module function and a plain def of the same parameters; both raise
the same message (checked). A wrong call is handed to the interpreter to word
its own error (through a plain def made when the module loads), so the
target is at most 1.5 times the def: the rare path, exact on every version.

Successful calls: generate_tts with positionals, keywords and defaults, bound
and then refused at once by a replaced installation check, so the binding and
the call itself are what is timed; the plain def does the same gate.
Timings alternate within each repetition.

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
        for name in names[run % len(names) :] + names[: run % len(names)]:
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

def generate_tts(text, voice_id, speed=1, pitch=1, base_url="", tts_endpoint="", wait_time=10):
    check = check_project_structure()
    if "error" in check:
        return check, 400
"""

REFUSED = {"error": "refused"}


def plain_functions():
    """Top-level defs, so their error texts name them as the module's do."""
    namespace = {"__name__": "plain", "check_project_structure": lambda: REFUSED}
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


# (label, call statement on f), each bound in full and refused by the gate.
GOOD_CALLS = [
    ("positional: f('hi', 'v1')", "f('hi', 'v1')"),
    ("keywords: f(text='hi', voice_id='v1', speed=2)", "f(text='hi', voice_id='v1', speed=2)"),
    ("all seven positional", "f('hi', 'v1', 2, 1, 'http://h/', 'https://s/', 5)"),
]


def alternate(sides, statements, reps, number):
    """Median-ready µs per call of each side's statement, sides in turns."""
    timers = {side: timeit.Timer(statements[side], globals={"f": f}) for side, f in sides.items()}
    times = {side: [] for side in sides}
    for rep in range(reps):
        for side in list(sides) if rep % 2 == 0 else list(sides)[::-1]:
            times[side].append(timers[side].timeit(number) / number * 1e6)
    return times


def time_errors(dorvane, reps, number):
    plain = plain_functions()
    rows = []
    for label, name, statement in WRONG_CALLS:
        sides = {"dorvane": getattr(dorvane, name), "plain def": plain[name]}
        texts = {side: message(f, statement) for side, f in sides.items()}
        assert texts["dorvane"] == texts["plain def"], texts
        caught = f"try:\n    {statement}\nexcept TypeError:\n    pass"
        rows.append((label, alternate(sides, dict.fromkeys(sides, caught), reps, number)))
    return rows


def time_calls(dorvane, reps, number):
    plain = plain_functions()
    dorvane.check_project_structure = lambda: REFUSED
    sides = {"dorvane": dorvane.generate_tts, "plain def": plain["generate_tts"]}
    rows = []
    for label, statement in GOOD_CALLS:
        for f in sides.values():
            assert eval(statement, {"f": f}) == (REFUSED, 400)
        rows.append((label, alternate(sides, dict.fromkeys(sides, statement), reps, number)))
    return rows


def print_rows(title, rows, limit):
    print(f"\n{title}\n")
    print("| call | dorvane (µs) | plain def (µs) | ratio | target |")
    print("|---|---|---|---|---|")
    for label, side_times in rows:
        ours = harness.median(side_times["dorvane"])
        plain = harness.median(side_times["plain def"])
        ratio = ours / plain
        verdict = f"≤ {limit:.2f} {'met' if ratio <= limit else 'MISSED'}" if limit else "reported"
        print(f"| {label} | {ours:.3f} | {plain:.3f} | {ratio:.3f} | {verdict} |")


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
        print(
            f'| `python -c "{IMPORTS[name]}"` | {harness.median(values):.3f} | '
            f"{harness.spread(values)} | {ratio:.3f} | {target} |"
        )

    dorvane, _ = harness.install()
    print_rows(
        f"binding error (TypeError raised and caught): {reps} x {number} calls, median µs per call",
        time_errors(dorvane, reps, number),
        1.5,
    )
    print_rows(
        f"successful call, refused by the gate: {reps} x {number} calls, median µs per call",
        time_calls(dorvane, reps, number),
        None,
    )


if __name__ == "__main__":
    main()
