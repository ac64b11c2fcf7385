"""Checks a running fleet through its front: calls spread over the hosts,
each link serves a complete WAV, and, with --kill-one, calls after one host
is killed outright all succeed.

    python fleet_calls.py --calls 24 --kill-one --after 12 [--fleet var/fleet]
"""

import argparse
import json
import sys
from pathlib import Path

from clients import Burst, complete_wav, fetch

from support import STACK
from support.defaults import BASE_URL
from support.processes import kill_group


def main(argv=None):
    parser = argparse.ArgumentParser(description="check a running fleet through its balancer")
    parser.add_argument("--url", default=BASE_URL)
    parser.add_argument("--calls", type=int, default=24)
    parser.add_argument("--kill-one", action="store_true", help="then kill the first host outright")
    parser.add_argument("--after", type=int, default=12, help="calls after the kill")
    parser.add_argument("--fleet", default=str(STACK / "var" / "fleet"), help="the fleet's folder")
    args = parser.parse_args(argv)

    def wave_of(count, label):
        results = Burst(args.url, count, label).start().join()
        failed = [r for r in results if r["status"] != 200 or r["link"] is None]
        hosts = sorted({r["served_by"] for r in results if r["status"] == 200})
        bad_links = [r["link"] for r in results if r["link"] and not complete_wav(fetch(r["link"])[1])]
        print(
            f"{label}: {count} calls, {count - len(failed)} answered by {hosts}; "
            f"{len(failed)} failed; {len(bad_links)} links without a complete WAV"
        )
        for r in failed[:5]:
            print(f"  failed: {r}")
        return not failed and not bad_links, hosts

    ok, hosts = wave_of(args.calls, "spread")
    ok = ok and len(hosts) >= 2
    if args.kill_one:
        host = json.loads((Path(args.fleet) / "host-1" / "host.json").read_text())
        kill_group(host["pid"])
        print(f"killed host-1 (process group {host['pid']}, socket {host['socket']})")
        after_ok, _ = wave_of(args.after, "after-kill")
        ok = ok and after_ok
    print("fleet check passed" if ok else "fleet check FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
