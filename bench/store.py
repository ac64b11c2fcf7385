"""The output store on GlusterFS against a folder of this machine's, side by
side in one run: three gevent hosts on machines of their own (network
namespaces, examples/stack/netns.py) each way, the store first a local
folder, then a volume replicated over two storage machines (gluster.py).

For each store:
- C callers through the front (load.measure): completed calls a second,
  p99, and CPU per call of the hosts, the front, the stand-in and, on
  GlusterFS, the storage (the machines' FUSE clients, glusterd, the bricks
  and their healers);
- a store of N empty files, made through the files machine's mount: a
  census of it (store.Census) the first time (a stat per file) and the next
  (a listing), from this machine;
- the health probes (/livez, /readyz) of every host, asked every 0.2 s
  for `--probe-seconds` while the hosts' masters count that store.

Needs root, nftables and GlusterFS (scripts/setup --gluster).

    .venv/bin/python bench/store.py                      # C = 1000, 100,000 files (about 15 minutes)
    .venv/bin/python bench/store.py --quick                # C = 500, 20,000 files
"""

import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path

import clients
import gluster
import load
from fleet import Fleet
from webapp.store.census import Census

from support.defaults import OUTPUT_FOLDERS
from support.installation import install
from support.processes import free_port
from testing import busy


def storage_pids(fleet):
    """The processes that keep the store: none for a local folder."""
    if fleet.volume is None:
        return []
    pids = [pid for machine in gluster.STORAGE for pid in fleet.network.processes(machine)]
    return pids + [pid for path in fleet.volume.mounts for pid in gluster.clients_of(path)]


def census_seconds(store):
    census = Census(store, OUTPUT_FOLDERS)
    seconds = []
    for _ in range(2):
        started = time.perf_counter()
        census.bytes()
        seconds.append(time.perf_counter() - started)
    return seconds


def run(kind, standin, site, work, args):
    env = load.fleet_env(standin, site, "module", "gevent", args.c // 3 + 64)
    front = load.front_limits(args.c, args.c // 3 + 64)
    fleet = Fleet(
        work / kind,
        3,
        port=free_port(),
        env=env,
        front=front,
        netns=True,
        service_ports=(standin.speech_port, standin.transcription_port),
        store=kind,
    )
    with fleet:
        # A call that fails fast (a service out of reach) answers 200 with
        # the module's error: one round trip first, or the figures are void.
        answer = clients.post_tts(fleet.url, "Ready to be measured.", "first")
        if not (answer["link"] and clients.complete_wav(clients.fetch(answer["link"])[1])):
            sys.exit(f"no round trip through the fleet on the {kind} store: {answer}")
        before = load.cpu_seconds(storage_pids(fleet))
        row = load.measure(fleet, standin, args.c, args.duration, args.settle, args.groups)
        served = max(row["calls"] - row["errors"], 1)
        row["cpu ms"]["storage"] = 1000 * (load.cpu_seconds(storage_pids(fleet)) - before) / served
        started = time.monotonic()
        busy.fill(fleet.store / "tts", args.files)
        row["fill"] = time.monotonic() - started
        row["census"] = census_seconds(fleet.store)
        with busy.Probes(fleet.hosts, ["/livez", "/readyz"]) as probes:
            time.sleep(args.probe_seconds)
        row["probes"] = {path: busy.percentile(s, 0.99) for path, s in probes.seconds.items()}
        row["probes failed"] = sum(probes.failed.values())
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--c", type=int, default=1000, help="callers at once")
    parser.add_argument("--duration", type=int, default=50)
    parser.add_argument("--settle", type=int, default=2 * load.WAIT)
    parser.add_argument("--groups", type=int, default=20)
    parser.add_argument("--files", type=int, default=100_000)
    parser.add_argument("--probe-seconds", type=float, default=30)
    parser.add_argument("--quick", action="store_true", help="C = 500 for 40 s, 20,000 files")
    args = parser.parse_args()
    if args.quick:
        args.c, args.duration, args.files, args.probe_seconds = 500, 40, 20_000, 15
    if why := gluster.available():
        sys.exit(why)
    load.check_limits([args.c])

    work = Path(tempfile.mkdtemp(prefix="dorvane-store-bench-"))
    work.chmod(0o711)  # started as root, the fleet's nginx reads the store as nobody
    site = install(work / "site")
    standin = load.start_standin(work)
    rows = {}
    try:
        for kind in ("local", "gluster"):
            rows[kind] = run(kind, standin, site, work, args)
            print(f"{kind}: {rows[kind]}", file=sys.stderr, flush=True)
    finally:
        standin.stop()
        shutil.rmtree(work, ignore_errors=True)

    print(
        f"\nthe store, local against GlusterFS: 3 gevent hosts on machines of their own, C={args.c} "
        f"for {args.duration} s; then {args.files:,} files in the store\n"
    )
    print(
        "| store | completed/s | p99 (s) | errors | CPU per call (ms): hosts / front / stand-in / storage "
        "| fill (s) | census: first / next (s) | /livez p99 (ms) | /readyz p99 (ms) | probes failed |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|")
    for kind, r in rows.items():
        cpu = r["cpu ms"]
        print(
            f"| {kind} | {r['rate']:.1f} | {r['p99']:.2f} | {r['errors']} | {cpu['hosts']:.1f} / "
            f"{cpu['front']:.1f} / {cpu['stand-in']:.1f} / {cpu['storage']:.1f} | {r['fill']:.0f} | "
            f"{r['census'][0]:.2f} / {r['census'][1]:.2f} | {1000 * r['probes']['/livez']:.1f} | "
            f"{1000 * r['probes']['/readyz']:.1f} | {r['probes failed']} |"
        )


if __name__ == "__main__":
    main()
