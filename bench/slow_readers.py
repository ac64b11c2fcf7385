"""Slow readers of a stored file against honest callers, through the front
of a fleet at its default limits: `--addresses` x `--sockets` clients ask
for a large stored file by some spelling of its link (`--path`) and read the
answer a KiB a second (or, with `--h2`, each address holds `--sockets`
HTTP/2 streams of it on one connection with a window of 0), while honest
clients, each on an address of its own, make short text-to-speech calls,
load the page and download a stored file over and over for `--seconds`.
Only nginx should serve the store's files, so however the link is spelled
the readers hold none of the hosts' call slots, and nginx must keep room
for honest downloads: the figure is the honest calls, pages and downloads
served, of those made.

    .venv/bin/python bench/slow_readers.py                         # /%6Futput/..., 100 x 32 readers, 60 s
    .venv/bin/python bench/slow_readers.py --path /output/tts/slow.wav
    .venv/bin/python bench/slow_readers.py --h2 --addresses 150 --path /output/tts/slow.wav
    .venv/bin/python bench/slow_readers.py --quick                 # 20 x 32 readers, 20 s
"""

import argparse
import os
import resource
import shutil
import tempfile
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

import clients
import launch
import load
from fleet import Fleet

from support.installation import install
from support.processes import children, free_port
from testing import attacks

FILE_BYTES = 5_600_000
HONEST_FILE = b"RIFF an honest download" * 1000


def page(base_url, timeout=60):
    """The front page, as a browser loads it: whether it came whole."""
    try:
        with urllib.request.urlopen(base_url, timeout=timeout) as response:
            return response.status == 200 and b"<html" in response.read().lower()
    except (OSError, urllib.error.HTTPError):
        return False


def honest(base_url, seconds, callers, pages, downloaders=0):
    """`callers` clients making calls, `pages` clients loading the page and
    `downloaders` downloading a stored file (honest.wav), each in turn until
    `seconds` have passed: (calls served, calls made, pages served, pages
    loaded, downloads served, downloads made)."""
    deadline = time.monotonic() + seconds
    tally = {"calls": [], "pages": [], "downloads": []}

    def call(i):
        while time.monotonic() < deadline:
            outcome = clients.post_tts(base_url, "An honest caller.", f"honest-{i}", timeout=60)
            tally["calls"].append(outcome["status"] == 200)
            if outcome["status"] != 200:
                time.sleep(1)

    def load_page():
        while time.monotonic() < deadline:
            tally["pages"].append(page(base_url))
            time.sleep(1)

    def download():
        while time.monotonic() < deadline:
            try:
                served = clients.fetch(base_url + "output/tts/honest.wav", timeout=30) == (200, HONEST_FILE)
            except OSError:
                served = False
            tally["downloads"].append(served)
            time.sleep(0.5)

    threads = [threading.Thread(target=call, args=(i,), daemon=True) for i in range(callers)]
    threads += [threading.Thread(target=load_page, daemon=True) for _ in range(pages)]
    threads += [threading.Thread(target=download, daemon=True) for _ in range(downloaders)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return tuple(n for kind in ("calls", "pages", "downloads") for n in (sum(tally[kind]), len(tally[kind])))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--path", default="/%6Futput/tts/slow.wav", help="how the readers spell the link")
    parser.add_argument("--addresses", type=int, default=100)
    parser.add_argument("--sockets", type=int, default=32, help="readers per address")
    parser.add_argument("--seconds", type=float, default=60, help="the honest clients' time")
    parser.add_argument("--hosts", type=int, default=3)
    parser.add_argument("--callers", type=int, default=24, help="honest callers")
    parser.add_argument("--pages", type=int, default=4, help="honest page loaders")
    parser.add_argument("--downloaders", type=int, default=4, help="honest downloaders of a stored file")
    parser.add_argument(
        "--h2", action="store_true", help="HTTP/2 streams with a window of 0, --sockets per address"
    )
    parser.add_argument("--quick", action="store_true", help="20 addresses, 20 s")
    args = parser.parse_args()
    if args.quick:
        args.addresses, args.seconds = 20, 20
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    work = Path(tempfile.mkdtemp(prefix="dorvane-slow-readers-"))
    work.chmod(0o711)  # started as root, the fleet's nginx reads the store as nobody
    site = install(work / "site")
    standin = load.start_standin(work)
    try:
        env = dict(os.environ, **launch.standin_environ(standin), WEBAPP_DORVANE_HOME=str(site))
        with Fleet(work / "fleet", args.hosts, port=free_port(), env=env) as fleet:
            (fleet.store / "tts" / "slow.wav").write_bytes(os.urandom(FILE_BYTES))
            (fleet.store / "tts" / "honest.wav").write_bytes(HONEST_FILE)
            attack = attacks.stall_streams if args.h2 else attacks.read_slowly
            readers = []
            reading = threading.Thread(
                target=lambda: readers.extend(
                    attack(fleet.url, args.path, args.addresses, args.sockets, args.seconds + 20)
                ),
                daemon=True,
            )
            peak = [0.0]
            sampling = threading.Thread(target=sample_front, args=(fleet, reading, peak), daemon=True)
            reading.start()
            sampling.start()
            time.sleep(10)  # the readers in place
            calls, made, pages, loaded, downloads, tried = honest(
                fleet.url, args.seconds, args.callers, args.pages, args.downloaders
            )
            reading.join(args.seconds + 60)
            via_hosts = sum(
                1
                for line in fleet.access_log.read_text(errors="replace").splitlines()
                if f'"GET {args.path} ' in line and " upstream=host-" in line
            )
    finally:
        standin.stop()
        shutil.rmtree(work, ignore_errors=True)
    how = "HTTP/2 streams with a window of 0" if args.h2 else "sockets reading at 1 KiB/s"
    print(
        f"\nslow readers: {args.addresses} addresses x {args.sockets} {how}, {FILE_BYTES} bytes "
        f"through {args.path}; {args.hosts} hosts at the front's default limits\n"
    )
    print(
        f"- readers: {readers.count('held')} held to the end, {len(readers) - readers.count('held')} "
        f"cut, ended or refused; {via_hosts} requests for the file logged as answered by a host"
    )
    print(
        f"- honest calls: {calls} of {made} served; pages: {pages} of {loaded}; downloads: {downloads} of {tried}"
    )
    print(f"- the front's memory at its peak: {peak[0]:.0f} MiB")


def sample_front(fleet, reading, peak):
    """The front's resident memory (master and workers) at its peak while
    `reading` runs, in MiB."""
    while reading.is_alive():
        try:
            pids = [fleet.haproxy.pid, *children(fleet.haproxy.pid)]
            peak[0] = max(peak[0], sum(resident_mib(pid) for pid in pids))
        except OSError:
            pass
        time.sleep(0.5)


def resident_mib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


if __name__ == "__main__":
    main()
