"""A flood of the largest text-to-speech calls a host accepts (the longest
text at the slowest speed), from one client at C calls at once, through the
front into one host or a fleet of hosts on one shared output store with a
small cap, and into a stand-in with the same cap. Both stores are sampled
throughout; the figure is their peak against the cap. The client fetches
every link the moment its answer is in, as a page does: a 200 whose link is
gone is a failure reported as success.

Every call holds its place for the module's ten-second wait, so C at once
is at most C / 10 calls a second, each writing the same few megabytes.

    .venv/bin/python bench/flood.py                               # one host, C = 48, 6 rounds, a 640 MiB cap
    .venv/bin/python bench/flood.py --hosts 3 --c 24 --rounds 4 --cap-mib 64
    .venv/bin/python bench/flood.py --c 24 --calls 60 --cap-bytes 20000000
    .venv/bin/python bench/flood.py --text spelled --addresses 20 --c 40 --calls 80 --cap-mib 64
    .venv/bin/python bench/flood.py --text spelled --length 200 --c 12 --calls 12 --cap-mib 1024 --disk-mib 160 --hosts 3 --then-prose
    .venv/bin/python bench/flood.py --addresses 40 --one-network --c 40 --calls 2400 --cap-mib 64 --hosts 3 --honest 25

`--text spelled` floods with a text of letters espeak-ng spells out one by
one, which makes many times the audio of prose of its length; `--addresses`
spreads the callers over that many loopback addresses, as many clients
(each of its own /24), or as one client of many addresses (`--one-network`,
one /24); `--honest` has clients of another /24 make short calls while the
flood lasts; `--disk-mib` puts the store on a file system of that size (a
tmpfs; as root), smaller than its cap.
"""

import argparse
import collections
import contextlib
import json
import shutil
import ssl
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

import clients
import harness
import load
from fleet import Fleet
from webapp.store import CLIENT_SHARE

from support.defaults import TTS_PATH
from support.installation import install
from support.measure import store_bytes
from support.processes import free_port
from testing import attacks

TEXTS = {
    "prose": "Every call in this flood asks for the longest text the host takes, spoken slowly. ",
    "spelled": "ꙮ" * 5 + "\n\n",
}
SPEED = 0.5
# The hosts' default grace: how long a file handed out is kept.
GRACE = 60


def speak(standin, text):
    """The stand-in's audio for `text` at SPEED, as a host asks for it."""
    body = json.dumps({"data": [text, "en-us", str(SPEED), "1", "1", "0"]}).encode()
    context = ssl.create_default_context(cafile=str(standin.ca_path))
    request = urllib.request.Request(
        standin.speech_url + TTS_PATH, data=body, headers={"Content-Type": "application/json"}
    )
    with urllib.request.urlopen(request, context=context, timeout=120) as response:
        link = json.load(response)["data"]["convert_result"][0]["oss_url"]
    with urllib.request.urlopen(link, context=context, timeout=120) as response:
        return response.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--c", type=int, default=48, help="calls at once")
    parser.add_argument("--rounds", type=int, default=6, help="rounds of C calls")
    parser.add_argument("--calls", type=int, help="calls in all, instead of --rounds")
    parser.add_argument("--hosts", type=int, default=1, help="application hosts on the one store")
    parser.add_argument("--workers", type=int, default=1, help="gunicorn workers per host")
    parser.add_argument("--cap-mib", type=int, default=640, help="the cap of both stores")
    parser.add_argument("--cap-bytes", type=int, help="the cap in bytes, instead of --cap-mib")
    parser.add_argument(
        "--standin-cap-mib",
        type=int,
        help="the stand-in's cap, if not the hosts' (a spelled text's audio passes 64 MiB)",
    )
    parser.add_argument("--max-text", type=int, default=1000, help="the host's WEBAPP_MAX_TEXT")
    parser.add_argument(
        "--pause", type=float, default=1.0, help="seconds a refused caller waits before its next call"
    )
    parser.add_argument("--text", choices=sorted(TEXTS), default="prose", help="what the calls ask to speak")
    parser.add_argument("--addresses", type=int, default=1, help="client addresses the callers take turns at")
    parser.add_argument("--one-network", action="store_true", help="the addresses all of one /24")
    parser.add_argument("--length", type=int, help="characters in each call's text (default: --max-text)")
    parser.add_argument("--disk-mib", type=int, help="the store on a file system of its own of this size")
    parser.add_argument(
        "--honest", type=int, default=0, help="short calls from another /24 made while the flood lasts"
    )
    parser.add_argument(
        "--then-prose",
        action="store_true",
        help="once the flood's files are out of their grace, one call of prose: is it served?",
    )
    parser.add_argument("--quick", action="store_true", help="C = 16, 2 rounds, a 200 MiB cap")
    args = parser.parse_args()
    if args.quick:
        args.c, args.rounds, args.cap_mib = 16, 2, 200
    cap = args.cap_bytes or args.cap_mib << 20
    unit = TEXTS[args.text]
    length = args.length or args.max_text
    text = (unit * (length // len(unit) + 1))[:length]
    address = attacks.network_address if args.one_network else attacks.flood_address
    sources = [address(i) for i in range(args.addresses)] if args.addresses > 1 else [None]

    work = Path(tempfile.mkdtemp(prefix="dorvane-flood-"))
    work.chmod(0o711)  # started as root, the fleet's nginx reads the store as nobody
    site = install(work / "site")
    standin_cap = args.standin_cap_mib << 20 if args.standin_cap_mib else cap
    standin = load.start_standin(work, "--audio-max-bytes", str(standin_cap))
    try:
        port = free_port()
        env = dict(
            load.fleet_env(standin, site, "module", "gevent", args.c + 16),
            # The store's own defences, at their defaults: a client's share too.
            WEBAPP_OUTPUT_CLIENT_SHARE=str(CLIENT_SHARE),
            WEBAPP_OUTPUT_MAX_BYTES=str(cap),
            WEBAPP_MAX_TEXT=str(args.max_text),
            WEBAPP_WORKERS=str(args.workers),
        )
        with Fleet(
            work / "fleet",
            args.hosts,
            port=port,
            env=env,
            front=load.front_limits(2 * args.c),
            store_size=args.disk_mib and args.disk_mib << 20,
        ) as fleet:
            # The stand-in synthesises the text once, asked directly, and
            # answers the flood from memory; the hosts meet the flood fresh,
            # as after a start.
            size = len(speak(standin, text))
            # The store's folders as the fleet laid them out (the links'
            # folders); its hidden files are the hosts' own bookkeeping.
            folders = sorted(
                p.name for p in fleet.store.iterdir() if p.is_dir() and not p.name.startswith(".")
            )
            stores = [(fleet.store, folders), (standin.state, ["audio"])]
            with contextlib.ExitStack() as stack:
                peaks = [
                    stack.enter_context(harness.Peak(lambda s=s, f=f: store_bytes(s, f), 0.05))
                    for s, f in stores
                ]
                start = time.perf_counter()
                honest = []
                if args.honest:
                    honest_sources = [f"127.2.0.{i + 1}" for i in range(4)]
                    honest_text = TEXTS["prose"][:60]
                    honest_run = threading.Thread(
                        target=lambda: honest.extend(
                            clients.callers(
                                fleet.url,
                                honest_text,
                                args.honest,
                                4,
                                speed=1,
                                sources=honest_sources,
                                label="honest",
                            )
                        ),
                        daemon=True,
                    )
                    threading.Timer(5, honest_run.start).start()  # once the flood holds the store
                outcomes = clients.callers(
                    fleet.url,
                    text,
                    args.calls or args.rounds * args.c,
                    args.c,
                    speed=SPEED,
                    pause=args.pause,
                    sources=sources,
                )
                wall = time.perf_counter() - start
            final = [store_bytes(s, f) for s, f in stores]
            if args.honest:
                honest_run.join(600)
            after = []
            if args.then_prose:
                time.sleep(GRACE + 1)
                prose = (TEXTS["prose"] * (args.max_text // len(TEXTS["prose"]) + 1))[: args.max_text]
                after = [
                    clients.post_tts(fleet.url, prose, f"after-the-flood-{i}", speed=SPEED) for i in range(3)
                ]
    finally:
        standin.stop()
        shutil.rmtree(work, ignore_errors=True)

    served = [o for o in outcomes if o["status"] == 200]
    gone = [o for o in served if not o.get("served")]
    refused = [o for o in outcomes if o["status"] == 503]
    timed = [o for o in refused if o["retry_after"]]
    others = sorted({str(o["status"]) for o in outcomes} - {"200", "503"})
    mib = 1 << 20
    print(
        f"\nflood: {len(outcomes)} calls, {args.c} at once from {args.addresses} address(es), "
        f"{length} characters of {args.text} at speed {SPEED}, "
        f"{size / mib:.2f} MiB each; {args.hosts} host(s) of {args.workers} worker(s) on one store; "
        f"cap {cap / mib:.1f} MiB ({cap} bytes)\n"
    )
    print(
        f"- {len(served)} answered 200, of which {len(gone)} had a link that gave no complete WAV right after; "
        f"{len(refused)} 503 (no room; {len(timed)} with Retry-After)"
        + (f"; others: {', '.join(others)}" if others else "")
        + f"; in {wall:.1f} s "
        f"({len(served) / wall:.2f} calls/s, {len(served) * size / cap:.1f} × the cap in all)"
    )
    print("| store | peak (MiB) | peak / cap | at the end (MiB) |")
    print("|---|---|---|---|")
    for name, peak, end, limit in zip(
        ("hosts' output", "stand-in's audio"), peaks, final, (cap, standin_cap), strict=True
    ):
        print(f"| {name} | {peak.peak / mib:.1f} | {peak.peak / limit:.2f} | {end / mib:.1f} |")
    if honest:
        served_honest = [o for o in honest if o["status"] == 200 and o.get("served")]
        statuses = ", ".join(
            f"{n} × {s}" for s, n in sorted(collections.Counter(str(o["status"]) for o in honest).items())
        )
        print(
            f"\nhonest short calls from another /24: {len(served_honest)} of {len(honest)} served ({statuses})"
        )
    for i, outcome in enumerate(after):
        print(f"\nprose after the grace ({i + 1}): {outcome['status']} {outcome['error'] or ''}".rstrip())


if __name__ == "__main__":
    main()
