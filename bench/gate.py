"""Installation gate: check_project_structure() against the same check in plain Python.

Three callables check the same complete installation, in turns within each
repetition so that machine noise falls on all three alike:

- dorvane.check_project_structure();
- a plain-Python function doing the same ten tests with `os.path`, its `os`
  looked up as a module global, with `__file__` set to the module's file
  (reference.plain_check, from support/; the tests compare with it too);
- the ten bare `os.stat` calls on precomputed paths, from Python (for reference).

Target: the module at most 0.5 times the plain-Python function per call; its
ratio to the ten bare `os.stat` calls is printed beside it.

    .venv/bin/python bench/gate.py            # 15 repetitions of 20000 calls
    .venv/bin/python bench/gate.py --quick    # 5 repetitions of 2000 calls
"""

import argparse
import os
import timeit

import harness

from support.defaults import LAYOUT
from support.reference import plain_check


def bare_stats(root):
    paths = []
    for folder, files in LAYOUT.items():
        paths.append(os.path.join(root, folder))
        paths += [os.path.join(root, folder, f) for f in files]
    assert len(paths) == 10
    stat = os.stat

    def ten_stats():
        for path in paths:
            stat(path)

    return ten_stats


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reps", type=int, default=15)
    parser.add_argument("--number", type=int, default=20000, help="calls per timing")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    reps, number = (5, 2000) if args.quick else (args.reps, args.number)

    dorvane, root = harness.install()
    sides = {
        "dorvane.check_project_structure()": dorvane.check_project_structure,
        "plain-Python check (os.path)": plain_check(dorvane.__file__),
        "ten bare os.stat calls": bare_stats(str(root)),
    }
    assert sides["plain-Python check (os.path)"]() == dorvane.check_project_structure()

    names = list(sides)
    times = {name: [] for name in names}
    for rep in range(reps):
        order = names[rep % 3 :] + names[: rep % 3]
        for name in order:
            times[name].append(timeit.timeit(sides[name], number=number) / number * 1e6)

    plain = harness.median(times[names[1]])
    stats = harness.median(times[names[2]])
    print(f"\ninstallation gate: {reps} repetitions of {number} calls, median µs per call\n")
    print("| callable | µs per call | spread | ratio to plain Python | ratio to bare os.stat × 10 | target |")
    print("|---|---|---|---|---|---|")
    for name in names:
        value = harness.median(times[name])
        ratio = value / plain
        target = ""
        if name == names[0]:
            target = f"≤ 0.50 {'met' if ratio <= 0.5 else 'MISSED'}"
        print(
            f"| {name} | {value:.2f} | {harness.spread(times[name])} | {ratio:.3f} | {value / stats:.3f} | {target} |"
        )


if __name__ == "__main__":
    main()
