"""Load through the balancer: C text-to-speech calls at once over 1 and 3
application hosts behind the front (HAProxy), the module against the plain-Python
reference in the same host application, driven by hey; then one host of
three killed outright while calls are in flight.

Every call holds its host thread for the module's fixed ten seconds, so C
callers at once can complete at most C / 10 s calls a second: the figure is
set against that ideal. Each configuration gets an untimed warm-up burst,
then `--rounds` rounds of C calls per C (hey -n rounds*C -c C). Resident
memory is the peak, while the calls run, of each host's master and workers
together.

    .venv/bin/python bench/load.py                  # C = 64, 256; 1 and 3 hosts; then the failure run
    .venv/bin/python bench/load.py --quick          # C = 16, 1 host, one round, no failure run
"""

import argparse
import contextlib
import json
import math
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import harness

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples" / "webapp"))
import cluster  # noqa: E402
import fleet_calls  # noqa: E402

TEXT = "The quick brown fox jumps over the lazy dog."
TARGET_RATIO = 0.9


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_listening(port, process, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            sys.exit(f"the stand-in exited with {process.returncode}")
        if cluster.listening(port):
            return
        time.sleep(0.1)
    sys.exit(f"the stand-in does not listen on {port}")


def host_rss_kib(host):
    """A host's resident size: its master and workers together."""
    total = 0
    for pid in host.pids():
        try:
            total += harness.proc_status_kib("VmRSS", pid)
        except (OSError, KeyError):
            pass  # a worker that just ended
    return total


def fleet_cpu_seconds(fleet):
    """CPU time the hosts' processes have used so far, all together."""
    ticks = 0
    for host in fleet.hosts:
        for pid in host.pids():
            try:
                fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            ticks += int(fields[11]) + int(fields[12])  # utime, stime
    return ticks / os.sysconf("SC_CLK_TCK")


def hey(url, calls, concurrency, body=None):
    """Runs hey; returns (wall seconds, latencies of the answers, statuses)."""
    body = body or json.dumps({"text": TEXT, "voice_id": "en-us"})
    start = time.perf_counter()
    done = subprocess.run(
        ["hey", "-n", str(calls), "-c", str(concurrency), "-t", "120", "-m", "POST", "-T", "application/json",
         "-d", body, "-o", "csv", url.rstrip("/") + "/api/tts"],
        capture_output=True, text=True, check=True)
    wall = time.perf_counter() - start
    latencies, statuses = [], []
    for line in done.stdout.splitlines()[1:]:
        fields = line.split(",")
        latencies.append(float(fields[0]))
        statuses.append(int(fields[6]))
    return wall, latencies, statuses


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, math.ceil(q * len(ordered)) - 1)] if ordered else float("nan")


def measure(fleet, cs, rounds):
    rows = []
    # Untimed: connections, thread pools and imports warm up before the figures.
    hey(fleet.url, 8 * len(fleet.hosts), 8 * len(fleet.hosts))
    for c in cs:
        cpu = fleet_cpu_seconds(fleet)
        with contextlib.ExitStack() as stack:
            memory = [stack.enter_context(harness.Peak(lambda h=h: host_rss_kib(h), 0.2)) for h in fleet.hosts]
            wall, latencies, statuses = hey(fleet.url, rounds * c, c)
        cpu = fleet_cpu_seconds(fleet) - cpu
        ok = statuses.count(200)
        rate = ok / wall
        rows.append({
            "c": c, "calls": rounds * c, "ok": ok, "errors": rounds * c - ok, "rate": rate,
            "ideal": c / 10, "ratio": rate / (c / 10), "p50": percentile(latencies, 0.5),
            "p99": percentile(latencies, 0.99), "rss": [m.peak / 1024 for m in memory],
            "cpu_ms": 1000 * cpu / max(ok, 1),
        })
        print(f"  C={c}: {ok}/{rounds * c} ok in {wall:.1f} s, {rate:.2f} calls/s", file=sys.stderr, flush=True)
    return rows


def failure_run(fleet, calls):
    """Calls spread over the hosts, the first host killed while all are in
    flight, then as many new calls. Returns what happened."""
    first = fleet_calls.Burst(fleet.url, calls, "load-first").start()
    deadline = time.monotonic() + 8
    while sum(fleet_calls.in_flight(h) for h in fleet.hosts) < calls and time.monotonic() < deadline:
        time.sleep(0.1)
    killed = fleet.hosts[0]
    lost = fleet_calls.in_flight(killed)
    killed.kill()
    before = first.join()
    after = fleet_calls.Burst(fleet.url, calls, "load-after").start().join()
    routed = fleet_calls.routed(fleet.access_log)
    failed = [r for r in before if r["status"] != 200]
    on_killed = [r for r in failed if r["status"] == 502 and routed.get(r["call"]) == (502, killed.server)]
    links = [r["link"] for r in before + after if r["status"] == 200]
    partial = [link for link in links if not fleet_calls.complete_wav(fleet_calls.fetch(link)[1])]
    return {
        "calls": calls, "in flight on the killed host": int(lost), "failed": len(failed),
        "failed, all 502 on the killed host": len(on_killed) == len(failed),
        "new calls after the kill": len(after), "of them failed": sum(r["status"] != 200 for r in after),
        "links checked": len(links), "links without a complete WAV": len(partial),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cs", default="64,256", help="concurrent calls, comma-separated")
    parser.add_argument("--hosts", default="1,3", help="host counts, comma-separated")
    parser.add_argument("--implementations", default="module,python")
    parser.add_argument("--rounds", type=int, default=2, help="rounds of C calls per figure")
    parser.add_argument("--no-failure", action="store_true", help="skip the host-failure run")
    parser.add_argument("--failure-calls", type=int, default=90)
    parser.add_argument("--quick", action="store_true", help="C = 16 on 1 host, one round, no failure run")
    args = parser.parse_args()
    if args.quick:
        args.cs, args.hosts, args.rounds, args.no_failure = "16", "1", 1, True
    cs = [int(c) for c in args.cs.split(",")]
    if not shutil.which("hey"):
        sys.exit("hey is not installed (apt-get install hey)")
    cluster.nginx_binary()
    cluster.haproxy_binary()

    _, site = harness.install()
    work = Path(tempfile.mkdtemp(prefix="dorvane-load-"))
    speech, transcription = free_port(), free_port()
    standin = subprocess.Popen(
        [sys.executable, "-m", "standin", "--speech-port", str(speech), "--transcription-port", str(transcription),
         "--state-dir", str(work / "standin"), "--transcriber", "recorded"],
        cwd=ROOT, stdout=(work / "standin.log").open("wb"), stderr=subprocess.STDOUT)
    results = {}
    failure = None
    try:
        wait_listening(speech, standin)
        wait_listening(transcription, standin)
        for hosts in [int(h) for h in args.hosts.split(",")]:
            for impl in args.implementations.split(","):
                port = free_port()
                env = dict(os.environ, REQUESTS_CA_BUNDLE=str(work / "standin" / "ca.pem"),
                           WEBAPP_DORVANE_HOME=str(site), WEBAPP_SPEECH_URL=f"https://127.0.0.1:{speech}",
                           WEBAPP_TRANSCRIPTION_URL=f"https://127.0.0.1:{transcription}",
                           WEBAPP_BASE_URL=f"http://127.0.0.1:{port}/", WEBAPP_TTS_IMPLEMENTATION=impl,
                           # Threads enough for every caller to be in a call at once.
                           WEBAPP_THREADS=str(math.ceil(max(cs) / hosts) + 16))
                print(f"{hosts} host(s), {impl}:", file=sys.stderr, flush=True)
                folder = work / f"fleet-{hosts}-{impl}"
                # The benchmark is one client address with C calls at once:
                # the front's per-client limits stand out of its way.
                front = cluster.Front(client_calls=max(cs), client_connections=max(cs) + 64,
                                      client_rate=100 * max(cs), max_connections=max(4096, 2 * max(cs)))
                with cluster.Fleet(folder, hosts, port=port, env=env, front=front) as fleet:
                    results[hosts, impl] = measure(fleet, cs, args.rounds)
                    if not args.no_failure and hosts == 3 and impl == "module":
                        failure = failure_run(fleet, args.failure_calls)
    finally:
        standin.terminate()
        standin.wait()
        shutil.rmtree(work, ignore_errors=True)

    print(f"\nload through the front: hey, {args.rounds} rounds of C calls per row, text-to-speech\n")
    print("| hosts | implementation | C | calls | completed/s | ideal C/10 s | ratio | median (s) | p99 (s) "
          "| errors | hosts' CPU per call (ms) | peak RSS per host (MiB) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for (hosts, impl), rows in results.items():
        for r in rows:
            print(f"| {hosts} | {impl} | {r['c']} | {r['calls']} | {r['rate']:.2f} | {r['ideal']:.1f} | "
                  f"{r['ratio']:.3f} | {r['p50']:.2f} | {r['p99']:.2f} | {r['errors']} | {r['cpu_ms']:.1f} | "
                  f"{' / '.join(f'{m:.0f}' for m in r['rss'])} |")
    print()
    for (hosts, impl), rows in results.items():
        if impl != "module":
            continue
        plain = {r["c"]: r for r in results.get((hosts, "python"), [])}
        for r in rows:
            verdict = ""
            if hosts == 3 and r["c"] == 256:
                met = r["ratio"] >= TARGET_RATIO and r["errors"] == 0
                verdict = f"target ≥ {TARGET_RATIO} of ideal, no error: {'met' if met else 'MISSED'}; "
            if r["c"] in plain:
                verdict += (f"module/plain rate {r['rate'] / plain[r['c']]['rate']:.3f}, "
                            f"median {r['p50']:.2f} vs {plain[r['c']]['p50']:.2f} s")
            print(f"- {hosts} host(s), C={r['c']}: {verdict}")
    if failure:
        print("\nhost failure, 3 hosts, module:", json.dumps(failure, indent=1))


if __name__ == "__main__":
    main()
