"""What HTTPS costs the front: calls a second through it, plain and over
TLS, side by side in one run, and the front's CPU time per call, whose
difference between a new TLS connection per call and a new plain one is
what a handshake costs it.

    .venv/bin/python bench/tls.py [--calls 4000] [--concurrency 16] [--quick]

Each row is one hey run of GETs for a small stored file, which the front
hands to nginx (no host's work in it), on a fleet of one host whose front
has the per-client limits raised out of the way: one fleet plain, one with
the demo's certificate (ECDSA P-256, TLS 1.3). "new connection" rows open
one per call (hey -disable-keepalive: a full handshake each, as Go's client
keeps no sessions); "kept" rows reuse them.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import launch
from fleet import Fleet
from front import Front
from load import cpu_seconds

from support.installation import install
from support.processes import children, free_port

LIMITS = {"client_calls": 10**6, "client_rate": 10**9, "client_connections": 10**5}


def hey(url, calls, concurrency, keepalive):
    command = [
        "hey",
        "-n",
        str(calls),
        "-c",
        str(concurrency),
        *([] if keepalive else ["-disable-keepalive"]),
    ]
    done = subprocess.run([*command, url], capture_output=True, text=True, timeout=600)
    statuses = re.findall(r"\[(\d+)\]\s+(\d+) responses", done.stdout)
    if done.returncode != 0 or [code for code, _ in statuses] != ["200"]:
        sys.exit(f"hey: {done.returncode}, {statuses}: {done.stdout[-800:]}{done.stderr[-500:]}")
    return float(re.search(r"Requests/sec:\s+([\d.]+)", done.stdout)[1])


def front_cpu(fleet):
    return cpu_seconds([fleet.haproxy.pid, *children(fleet.haproxy.pid)])


def rows(fleet, calls, concurrency):
    (fleet.store / "tts" / "bench.wav").write_bytes(b"\0" * 1024)
    url = fleet.url + "output/tts/bench.wav"
    hey(url, 200, concurrency, True)  # untimed: warms the front and nginx
    for keepalive in (False, True):
        before = front_cpu(fleet)
        rate = hey(url, calls, concurrency, keepalive)
        per_call = (front_cpu(fleet) - before) / calls * 1000
        yield keepalive, rate, per_call


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=4000)
    parser.add_argument("--concurrency", type=int, default=16)
    parser.add_argument("--quick", action="store_true", help="1,000 calls a row")
    args = parser.parse_args(argv)
    if args.quick:
        args.calls = 1000
    with tempfile.TemporaryDirectory(prefix="bench-tls-") as work:
        work = Path(work)
        env = {**os.environ, "WEBAPP_DORVANE_HOME": str(install(work / "site"))}
        certificates = launch.DemoCertificates(work / "tls")
        results = {}
        for scheme in ("http", "https"):
            front = Front(**LIMITS, certificate=str(certificates.path) if scheme == "https" else "")
            tls_port = free_port() if scheme == "https" else None
            with Fleet(
                work / scheme, 1, port=free_port(), env=dict(env), front=front, tls_port=tls_port
            ) as fleet:
                results[scheme] = list(rows(fleet, args.calls, args.concurrency))
    print(f"{args.calls} GETs of a 1 KiB file through the front, {args.concurrency} at once")
    print(f"{'connections':<16}{'http calls/s':>14}{'https calls/s':>15}{'front CPU ms/call':>20}")
    for (keepalive, plain, plain_cpu), (_, tls, tls_cpu) in zip(
        results["http"], results["https"], strict=True
    ):
        name = "kept" if keepalive else "new per call"
        print(f"{name:<16}{plain:>14.0f}{tls:>15.0f}{f'{plain_cpu:.3f} / {tls_cpu:.3f}':>20}")
    handshake = results["https"][0][2] - results["http"][0][2]
    print(f"a TLS handshake costs the front {handshake:.3f} ms of CPU per call")


if __name__ == "__main__":
    sys.exit(main())
