"""The fleet on a busy machine: three hosts behind the front at a steady
load within their capacity, while busy loops at normal priority oversubscribe
the CPU (three per core) and a writer keeps the disk busy with large
writes, over a store of many files. Prints the live hosts the supervisor
killed, the times the front took a host out, the calls served, and the
seconds each health probe took (p50, p99, asked every 0.2 s on each
host's health socket), first in the seconds after the files arrive at once
(`--settle`, no calls), then under the load. Then one host hangs (SIGSTOP): calls sent a second
later must all be served, and the host killed and serving again.

    .venv/bin/python bench/busy.py                        # 100,000 files, 6 busy loops, 60 s at 2 calls/s
    .venv/bin/python bench/busy.py --files 10             # the probes' cost with a small store
    .venv/bin/python bench/busy.py --probes /healthz      # a fleet whose hosts have no /livez or /readyz
    .venv/bin/python bench/busy.py --quiet-machine        # no busy loops, no writer
    .venv/bin/python bench/busy.py --quick                # 20 s at 1 call/s
"""

import argparse
import collections
import os
import shutil
import tempfile
import time
from pathlib import Path

import clients
import launch
from front import Front

from support.installation import install
from testing import busy


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--hosts", type=int, default=3)
    parser.add_argument("--files", type=int, default=100_000, help="empty files put in the store first")
    parser.add_argument("--hogs", type=int, help="busy loops (default: three per core)")
    parser.add_argument("--disk-mib", type=int, default=512, help="the size of the file the writer rewrites")
    parser.add_argument("--rate", type=float, default=2.0, help="calls a second, steady")
    parser.add_argument("--seconds", type=float, default=60, help="of steady load")
    parser.add_argument("--probes", default="/livez,/readyz", help="health paths to time")
    parser.add_argument("--quiet-machine", action="store_true", help="no busy loops and no writer")
    parser.add_argument("--no-hang", action="store_true", help="skip the hung host")
    parser.add_argument("--quick", action="store_true", help="20 s of load at 1 call/s")
    parser.add_argument(
        "--store",
        choices=["local", "gluster"],
        help="the hosts on machines of their own (namespaces), the store a local folder or a GlusterFS volume",
    )
    parser.add_argument(
        "--settle",
        type=float,
        default=20,
        help="seconds of probes without calls after the fill, reported apart",
    )
    args = parser.parse_args()
    if args.quick:
        args.seconds, args.rate = 20, 1.0
    paths = args.probes.split(",")

    work = Path(tempfile.mkdtemp(prefix="dorvane-busy-bench-"))
    work.chmod(0o711)  # started as root, the fleet's nginx reads the store as nobody
    env = {"WEBAPP_DORVANE_HOME": str(install(work / "site"))}
    # The front's per-client limits out of the way: every call comes from
    # one address here, and the hosts' capacity is what is tried.
    front = Front(client_calls=1000, client_connections=1064, client_rate=100_000)
    machines = {"netns": True, "store": args.store} if args.store else {}
    stack = launch.Stack(
        work / "stack", args.hosts, env=dict(os.environ, **env), front=front, **machines
    ).start()
    fleet = stack.fleet
    try:
        # Counted from before the store fills: a fleet that meets a large
        # store may misfire already as the files arrive.
        before = busy.downs(fleet)
        started = time.monotonic()
        busy.fill(fleet.store / "tts", args.files)
        filled = time.monotonic() - started

        # One text for every call: the stand-in speaks it once and answers
        # from memory, as a remote service on a machine of its own would
        # cost this one nothing.
        def post(call_id):
            return clients.post_tts(stack.base_url, "A call on a busy machine.", call_id)

        load = (
            busy.Busy(hogs=0, writers=0)
            if args.quiet_machine
            else busy.Busy(args.hogs, file_mib=args.disk_mib)
        )
        with load:
            # While the hosts first count the files that arrived at once.
            with busy.Probes(fleet.hosts, paths) as settling:
                time.sleep(args.settle)
            with busy.Probes(fleet.hosts, paths) as probes:
                outcomes = busy.steady(post, args.rate, args.seconds)
            kills = [e for e in fleet.supervisor.events if "killed" in e[2]]
            down = sum(busy.downs(fleet).values()) - sum(before.values())
            hung = None
            if not args.no_hang:
                hung = busy.hang(fleet, lambda label: busy.burst(post, 12, label), fleet.hosts[0])
    finally:
        stack.stop()
        shutil.rmtree(work, ignore_errors=True)

    statuses = collections.Counter(o["status"] for o in outcomes)
    print(
        f"\nbusy: {args.hosts} hosts{f' on machines of their own, the store {args.store}' if args.store else ''}, "
        f"{args.files:,} files in the store (made in {filled:.0f} s), "
        f"{'a quiet machine' if args.quiet_machine else f'{load.hogs} busy loops and a {args.disk_mib} MiB writer'}, "
        f"{args.rate:g} calls/s for {args.seconds:g} s\n"
    )
    print(
        f"- live hosts killed while the store filled and under the load: {len(kills)} {dict(collections.Counter(name for _, name, _ in kills))}"
    )
    print(f"- hosts taken out at the front (DOWN), the same while: {down}")
    took = [o["seconds"] for o in outcomes if o["status"] == 200]
    print(
        f"- calls served: {statuses[200]} of {len(outcomes)} {dict(statuses)}; seconds p50 "
        f"{busy.percentile(took, 0.5):.1f}, p99 {busy.percentile(took, 0.99):.1f}"
    )
    print("| probe | while | asked | failed | p50 (ms) | p99 (ms) | max (ms) |")
    print("|---|---|---|---|---|---|---|")
    for taken, while_ in ((settling, f"{args.settle:g} s after the fill"), (probes, "the steady load")):
        for path in paths:
            seconds = taken.seconds[path]
            print(
                f"| {path} | {while_} | {len(seconds)} | {taken.failed[path]} "
                f"| {1000 * busy.percentile(seconds, 0.5):.1f} | {1000 * busy.percentile(seconds, 0.99):.1f} "
                f"| {1000 * max(seconds, default=float('nan')):.0f} |"
            )
    if hung is not None:
        after, took, kill, back = hung
        served = sum(o["status"] == 200 for o in after)
        print(
            f"- hung host: killed {'never' if kill is None else f'{kill:.1f} s'} after the hang, "
            f"serving again {'not' if back is None else f'{back:.1f} s'} after it (within 60 s); "
            f"calls sent a second after the hang: {served} of {len(after)} served in {took:.1f} s"
        )


if __name__ == "__main__":
    main()
