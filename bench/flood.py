"""A flood of the largest text-to-speech calls a host accepts (the longest
text at the slowest speed), from one client at C calls at once, into a host
whose output store has a small cap, and into a stand-in with the same cap.
Both stores are sampled throughout; the figure is their peak against the cap.

Every call holds its thread for the module's ten-second wait, so C at once
is C / 10 calls a second, each writing the same few megabytes: at C = 48 the
store takes more than twice the cap in about a minute.

    .venv/bin/python bench/flood.py                        # C = 48, 6 rounds, a 640 MiB cap
    .venv/bin/python bench/flood.py --c 16 --rounds 2 --cap-mib 64   # 503s: room for 5 at once
"""

import argparse
import contextlib
import json
import shutil
import sys
import tempfile
import time
from pathlib import Path

import harness
import load

cluster = load.cluster

SENTENCE = "Every call in this flood asks for the longest text the host takes, spoken slowly. "


def folder_bytes(folder):
    total = 0
    for path in Path(folder).rglob("*"):
        try:
            total += path.stat().st_size if path.is_file() else 0
        except FileNotFoundError:
            pass  # swept while we looked
    return total


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--c", type=int, default=48, help="calls at once")
    parser.add_argument("--rounds", type=int, default=6, help="rounds of C calls")
    parser.add_argument("--cap-mib", type=int, default=640, help="the cap of both stores")
    parser.add_argument("--max-text", type=int, default=1000, help="the host's WEBAPP_MAX_TEXT")
    parser.add_argument("--quick", action="store_true", help="C = 16, 2 rounds, a 200 MiB cap")
    args = parser.parse_args()
    if args.quick:
        args.c, args.rounds, args.cap_mib = 16, 2, 200
    if not shutil.which("hey"):
        sys.exit("hey is not installed (apt-get install hey)")
    cap = args.cap_mib << 20
    text = (SENTENCE * (args.max_text // len(SENTENCE) + 1))[:args.max_text]
    body = json.dumps({"text": text, "voice_id": "en-us", "speed": 0.5})

    work = Path(tempfile.mkdtemp(prefix="dorvane-flood-"))
    work.chmod(0o711)  # started as root, the fleet's nginx reads the store as nobody
    site = load.launch.install_site(work / "site")
    standin = load.start_standin(work, "--audio-max-bytes", str(cap))
    try:
        port = load.launch.free_port()
        env = dict(load.fleet_env(standin, site, "module", "gevent", args.c + 16),
                   WEBAPP_OUTPUT_MAX_BYTES=str(cap), WEBAPP_MAX_TEXT=str(args.max_text))
        url = f"http://127.0.0.1:{port}/api/tts"
        with cluster.Fleet(work / "fleet", 1, port=port, env=env, front=load.front_limits(args.c)) as fleet:
            # One call first, untimed: the stand-in synthesises the text once
            # and answers the flood from memory.
            load.hey(["-n", "1"], url, 1, body=body)
            size = folder_bytes(fleet.store)
            folders = [fleet.store, standin.state / "audio"]
            with contextlib.ExitStack() as stack:
                peaks = [stack.enter_context(harness.Peak(lambda f=f: folder_bytes(f), 0.05)) for f in folders]
                start = time.perf_counter()
                calls = load.hey(["-n", str(args.rounds * args.c)], url, args.c, body=body)
                wall = time.perf_counter() - start
            statuses = [status for _, _, status in calls]
            final = [folder_bytes(f) for f in folders]
    finally:
        standin.stop()
        shutil.rmtree(work, ignore_errors=True)

    ok, refused = statuses.count(200), statuses.count(503)
    mib = 1 << 20
    print(f"\nflood: {args.rounds * args.c} calls, {args.c} at once, {args.max_text} characters at speed 0.5, "
          f"{size / mib:.2f} MiB each; cap {args.cap_mib} MiB\n")
    print(f"- {ok} answered 200 and {refused} 503 (no room for them) of {len(statuses)} in {wall:.1f} s "
          f"({ok / wall:.2f} calls/s, {ok * size / mib / wall:.1f} MiB/s written, {ok * size / cap:.1f} × the cap in all)")
    print("| store | peak (MiB) | peak / cap | at the end (MiB) |")
    print("|---|---|---|---|")
    for name, peak, end in zip(("host's output", "stand-in's audio"), peaks, final):
        print(f"| {name} | {peak.peak / mib:.1f} | {peak.peak / cap:.2f} | {end / mib:.1f} |")


if __name__ == "__main__":
    main()
