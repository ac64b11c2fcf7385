"""Load through the front, at the scale of the machine.

C text-to-speech calls in flight at once over 1 and 3 application hosts
(examples/stack/fleet.py), gevent and gthread workers, the module against
the plain-Python reference in the same host application, driven by hey; the stand-in alone at the same rate; then one
host of three killed outright while calls are in flight.

Every call waits the module's fixed ten seconds, so C callers at once can
complete at most C / 10 s calls a second: the figure is set against that
ideal. hey keeps C callers busy until `--duration` seconds (each starts its
next call when one ends); they start in `--groups` hey processes one after
another over the first ten seconds, as calls arriving at a steady rate
would, rather than all in one instant. The rate counts the calls completed
between `--settle` seconds and the end of the duration, when every caller is
past its first call and still busy; the median and p99 are those of the
same calls, the slowest call is of the whole run.

CPU per call is the CPU time each part used during the run (the hosts'
masters and workers, the front (HAProxy and nginx), the stand-in, hey itself), over the calls
completed; from their sum follows the rate at which the calls would use
every core of this machine. Peak RSS is the largest resident size, sampled
while the calls run, of each host's master and workers together. "Others"
is the CPU the rest of the machine used meanwhile, in cores: this figure
says how much the machine was shared.

    .venv/bin/python bench/load.py            # every row, then the failure run (about 40 minutes)
    .venv/bin/python bench/load.py --quick    # C = 1000, 3 gevent hosts, the module (about 2 minutes)
    .venv/bin/python bench/load.py --concurrency 2000 --hosts 3 --worker-class gevent --impl module,python
    .venv/bin/python bench/load.py --overload 1.5,2,3   # 3 gevent hosts at their default caps, past them
    .venv/bin/python bench/load.py --concurrency 2000 --hosts 3 --worker-class gevent --impl module \
        --keep 0,1 --bundle demo,system      # new connections for every request against kept ones

The hosts keep their connections to the stand-in by default
(WEBAPP_KEEP_CONNECTIONS); `--keep 0,1` runs each row without, then with
them, and `--bundle demo,system` with the stand-in's one certificate as the
hosts' CA bundle, then with the system's bundle and the stand-in's
certificate together, as a host that trusts a private CA beside the public
ones has it. "Connections per call" are those the speech service accepted
over the run, over the calls completed.

The rows of the capacity table give each host room for all its callers (the
front's per-host cap set to C / hosts), to measure what the machine
completes. The overload runs keep the fleet's own caps, which the front
derives from what a host worker sustains (front.Front.worker_rate), and
drive callers at a multiple of them: the figures are the goodput (calls
completed a second, against the caps' C / 10.5 s), the latency of the
completed calls and the share of calls shed (503 at the front, with
Retry-After, which the callers honour: each waits five seconds before its
next call after a refusal, as hey's `-q 0.2` paces them).
"""

import argparse
import collections
import contextlib
import json
import math
import os
import resource
import shutil
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

import clients
import harness
import launch
from fleet import Fleet
from front import Front, haproxy_binary, nginx_binary

from support.defaults import TTS_PATH
from support.installation import install
from support.processes import children, free_port, wait_until
from testing import front_log

TEXT = "The quick brown fox jumps over the lazy dog."
WAIT = 10
TARGET = {"c": 1000, "hosts": 3, "worker": "gevent", "ratio": 0.9, "p99": 12.0}
TICK = os.sysconf("SC_CLK_TCK")
TTS_BODY = json.dumps({"text": TEXT, "voice_id": "en-us"})
STORE_CAP = 3 << 30
SYSTEM_BUNDLE = Path("/etc/ssl/certs/ca-certificates.crt")
# The application each implementation's hosts serve: the example's, or the
# same made around the plain-Python generate_tts (plain_host.py, beside this).
APPS = {
    "module": {},
    "python": {
        "WEBAPP_APP": "plain_host:create_app()",
        "PYTHONPATH": os.pathsep.join(
            p for p in (str(Path(__file__).resolve().parent), os.environ.get("PYTHONPATH")) if p
        ),
    },
}


def fleet_env(standin, site, impl, worker_class, per_host, keep=1, bundle=None):
    """The fleet's whole environment, in one place: what its hosts call and
    how many calls each may hold, whether they keep their connections and
    the CA bundle they trust (`bundle`; None: the stand-in's certificate
    alone), the store's cap, and the front's limits set out of the
    benchmark's way."""
    calls = launch.standin_environ(standin)
    if bundle:
        calls["REQUESTS_CA_BUNDLE"] = str(bundle)
    return dict(
        os.environ,
        **calls,
        WEBAPP_KEEP_CONNECTIONS=str(keep),
        WEBAPP_DORVANE_HOME=str(site),
        **APPS[impl],
        WEBAPP_WORKER_CLASS=worker_class,
        # Room on every host for every caller it may be given at once: a
        # greenlet each under gevent, a thread each under gthread.
        WEBAPP_WORKER_CONNECTIONS=str(per_host),
        WEBAPP_THREADS=str(per_host),
        # Room in the store for what C callers write while each file is
        # kept for its grace: C / 10 s files a second of some 140 KB for a
        # minute, and C calls' room in flight, 2.2 GB at C = 2,000. Under the
        # default cap (1 GiB) the store, not the hosts, would refuse calls.
        WEBAPP_OUTPUT_MAX_BYTES=str(STORE_CAP),
        # hey is one client on one address: its share of the store, like
        # the front's per-client limits, is set out of the way.
        WEBAPP_OUTPUT_CLIENT_SHARE="0",
    )


def front_limits(c, host_calls=0):
    """The front's per-client limits set above C: hey is one client on one
    address, and the capacity is what is measured. `host_calls`: each
    host's cap (0: the fleet's own, from what its CPU serves)."""
    return Front(
        client_calls=c,
        client_connections=c + 64,
        client_rate=100 * c,
        max_connections=max(4096, 2 * c + 256),
        host_calls=host_calls,
    )


def start_standin(work, *options):
    """The stand-in services in a process of their own, as in the demo,
    transcribing by the texts they spoke."""
    return launch.StandIn(
        work / "standin", log=work / "standin.log", options=["--transcriber", "recorded", *options]
    ).start()


def system_bundle(standin, path):
    """The system's CA bundle with the stand-in's certificate after it, at `path`."""
    if not SYSTEM_BUNDLE.is_file():
        sys.exit(f"--bundle system needs {SYSTEM_BUNDLE} (apt-get install ca-certificates)")
    path.write_bytes(SYSTEM_BUNDLE.read_bytes() + standin.ca_path.read_bytes())
    return path


def speech_connections(standin):
    """The connections the speech service has accepted, this question's own included."""
    context = ssl.create_default_context(cafile=str(standin.ca_path))
    with urllib.request.urlopen(standin.speech_url + "/", timeout=30, context=context) as answer:
        return json.load(answer)["connections"]


def cpu_seconds(pids):
    """User and system time of these processes so far, with their reaped children's."""
    ticks = 0
    for pid in pids:
        try:
            fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue  # a process that just ended
        ticks += sum(int(f) for f in fields[11:15])  # utime, stime, cutime, cstime
    return ticks / TICK


def machine_busy_seconds():
    """CPU time the whole machine has spent busy so far, all cores together."""
    values = [int(v) for v in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
    idle = values[3] + values[4]
    return (sum(values[:8]) - idle) / TICK


def host_rss_kib(host):
    total = 0
    for pid in host.pids():
        try:
            total += harness.proc_status_kib("VmRSS", pid)
        except (OSError, KeyError):
            pass  # a worker that just ended
    return total


def driver_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def hey(args, url, concurrency, body=None):
    """Runs hey; returns its calls as (start offset, latency, status), in seconds."""
    command = ["hey", *args, "-c", str(concurrency), "-t", "120", "-o", "csv"]
    if body is not None:
        command += ["-m", "POST", "-T", "application/json", "-d", body]
    done = subprocess.run([*command, url], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"hey failed ({done.returncode}): {done.stderr.strip()[:500]}")
    calls = []
    for line in done.stdout.splitlines()[1:]:
        fields = line.split(",")
        calls.append((float(fields[7]), float(fields[0]), int(fields[6])))
    return calls


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, math.ceil(q * len(ordered)) - 1)] if ordered else float("nan")


def drive(url, c, duration, groups, spread=WAIT, options=(), body=TTS_BODY):
    """C callers through hey, in `groups` hey processes that start one after
    another over `spread` seconds, as calls arriving at a steady rate would:
    all C at the same instant would queue for the CPU together and stay in
    step, round after round. All stop starting calls at `duration`. Returns
    every call as (start offset, latency, status)."""
    step = spread / groups
    sizes = [c // groups + (i < c % groups) for i in range(groups)]
    results = [[] for _ in range(groups)]
    origin = time.perf_counter()

    def group(i):
        time.sleep(max(0.0, origin + i * step - time.perf_counter()))
        offset = time.perf_counter() - origin
        calls = hey(["-z", f"{duration - offset:.2f}s", *options], url, sizes[i], body=body)
        results[i] = [(offset + start, latency, status) for start, latency, status in calls]

    threads = [threading.Thread(target=group, args=(i,)) for i in range(groups) if sizes[i]]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return [call for calls in results for call in calls]


def measure(fleet, standin, c, duration, settle, groups):
    """C callers through the front for `duration` seconds; the row's figures."""
    # Untimed: connections, imports and the stand-in's memory of the text warm up.
    hey(["-n", str(8 * len(fleet.hosts))], fleet.url + "api/tts", 8 * len(fleet.hosts), body=TTS_BODY)
    parts = {
        "hosts": lambda: [p for h in fleet.hosts for p in h.pids()],
        "front": lambda: [
            fleet.haproxy.pid,
            *children(fleet.haproxy.pid),
            fleet.nginx.pid,
            *children(fleet.nginx.pid),
        ],
        "stand-in": lambda: [standin.process.pid],
    }
    before = {name: cpu_seconds(pids()) for name, pids in parts.items()}
    connections = speech_connections(standin)
    driver, busy = driver_cpu_seconds(), machine_busy_seconds()
    idle = [host_rss_kib(h) for h in fleet.hosts]
    with contextlib.ExitStack() as stack:
        memory = [stack.enter_context(harness.Peak(lambda h=h: host_rss_kib(h), 0.5)) for h in fleet.hosts]
        started = time.perf_counter()
        calls = drive(fleet.url + "api/tts", c, duration, groups)
        wall = time.perf_counter() - started
    cpu = {name: cpu_seconds(pids()) - before[name] for name, pids in parts.items()}
    cpu["driver"] = driver_cpu_seconds() - driver
    others = machine_busy_seconds() - busy - sum(cpu.values())
    connections = speech_connections(standin) - connections - 1

    ok = [call for call in calls if call[2] == 200]
    # Every caller is past its first call and still busy in this window.
    steady = [latency for start, latency, status in ok if settle <= start + latency <= duration]
    rate = len(steady) / (duration - settle)
    return {
        "c": c,
        "calls": len(calls),
        "errors": len(calls) - len(ok),
        "rate": rate,
        "ideal": c / WAIT,
        "ratio": rate / (c / WAIT),
        "p50": percentile(steady, 0.5),
        "p99": percentile(steady, 0.99),
        "max": max((latency for _, latency, _ in calls), default=float("nan")),
        "cpu ms": {k: 1000 * v / max(len(ok), 1) for k, v in cpu.items()},
        "connections per call": connections / max(len(ok), 1),
        "rss": [m.peak / 1024 for m in memory],
        "others": others / wall,
        # What a call in flight adds to its host's resident size, on average over the hosts.
        "kib per call": statistics.mean(m.peak - i for m, i in zip(memory, idle, strict=True))
        / (c / len(fleet.hosts)),
        "statuses": sorted({status for _, _, status in calls} - {200}),
    }


def overload(fleet, factor, duration, settle, groups):
    """Callers at `factor` times the fleet's caps for `duration` seconds,
    each pausing five seconds after a refusal (Retry-After). Returns the
    row's figures."""
    capacity = fleet.calls_per_host * len(fleet.hosts)
    c = math.ceil(factor * capacity)
    hey(["-n", str(8 * len(fleet.hosts))], fleet.url + "api/tts", 8 * len(fleet.hosts), body=TTS_BODY)
    calls = drive(fleet.url + "api/tts", c, duration, groups, options=["-q", "0.2"])
    ended = [
        (start, latency, status) for start, latency, status in calls if settle <= start + latency <= duration
    ]
    ok = [latency for _, latency, status in ended if status == 200]
    refused = [latency for _, latency, status in ended if status in (503, 429)]
    shed = len(refused)
    return {
        "factor": factor,
        "c": c,
        "capacity": capacity,
        "rate": len(ok) / (duration - settle),
        "ideal": capacity / fleet.front.call_seconds,
        "p50": percentile(ok, 0.5),
        "p99": percentile(ok, 0.99),
        "shed": shed / max(len(ended), 1),
        # How soon a shed call is answered: at once, not after a wait.
        "shed p50": percentile(refused, 0.5),
        "answered": len(ended),
        "other errors": sorted(
            collections.Counter(s for _, _, s in ended if s not in (200, 503, 429)).items()
        ),
        "slowest": max((latency for _, latency, _ in calls), default=float("nan")),
        "states": fleet.host_states(),
    }


def overload_table(rows, args):
    print(
        f"\noverload: 3 gevent hosts at the fleet's own caps; callers at a multiple of them, in {args.groups} hey "
        f"processes over {WAIT} s, until {args.duration} s, each pausing 5 s after a refusal; "
        f"figures over {args.settle}..{args.duration} s\n"
    )
    print(
        "| load | callers | caps (calls in flight) | goodput (calls/s) | caps / 10.5 s | goodput / caps | "
        "p50 (s) | p99 (s) | shed (503/429) | shed p50 (s) | other errors | slowest (s) | hosts at the end |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        states = ", ".join(sorted(set(r["states"].values())))
        print(
            f"| {r['factor']}× | {r['c']} | {r['capacity']} | {r['rate']:.1f} | {r['ideal']:.1f} | "
            f"{r['rate'] / r['ideal']:.3f} | {r['p50']:.2f} | {r['p99']:.2f} | {100 * r['shed']:.1f} % | "
            f"{r['shed p50']:.2f} | {r['other errors'] or 0} | {r['slowest']:.1f} | {len(r['states'])} {states} |"
        )


def standin_alone(standin, c, seconds):
    """The stand-in with nothing else running, at the rate C callers give it:
    C / 10 s text-to-speech requests a second and as many downloads."""
    speak = json.dumps({"data": [TEXT, "en-us", "1", "1", "1", "0"]})
    answer = json.loads(
        subprocess.run(
            ["curl", "-sk", "-d", speak, standin.speech_url + TTS_PATH],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
    )
    audio = answer["data"]["convert_result"][0]["oss_url"]
    rate = c / WAIT
    # Each caller asks once a second, on a connection it keeps as the hosts
    # do; ten groups of callers a tenth of a second apart keep the requests
    # spread over the second rather than in one burst.
    groups, callers = 10, max(1, round(rate))
    pace = ["-q", "1"]
    cpu, results = cpu_seconds([standin.process.pid]), {}

    def run(name, url, body):
        results[name] = drive(url, callers, seconds, groups, 1.0, pace, body)

    threads = [
        threading.Thread(target=run, args=("post", standin.speech_url + TTS_PATH, speak)),
        threading.Thread(target=run, args=("get", audio, None)),
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    cpu = cpu_seconds([standin.process.pid]) - cpu
    posts, gets = results["post"], results["get"]
    ok = sum(status == 200 for _, _, status in posts + gets)
    return {
        "c": c,
        "rate": rate,
        "posts/s": len(posts) / seconds,
        "gets/s": len(gets) / seconds,
        "errors": len(posts) + len(gets) - ok,
        "p99 ms": 1000 * percentile([lat for _, lat, _ in posts + gets], 0.99),
        "cpu ms per call": 1000 * cpu / max(len(posts), 1),
        "cores": cpu / seconds,
    }


def failure_run(fleet, calls):
    """Calls spread over the hosts, the first host killed while all are in
    flight, then as many new calls. Returns what happened."""
    first = clients.Burst(fleet.url, calls, "load-first").start()
    with contextlib.suppress(TimeoutError):
        wait_until(lambda: sum(clients.in_flight(h) for h in fleet.hosts) >= calls, 8, step=0.1)
    killed = fleet.hosts[0]
    lost = clients.in_flight(killed)
    killed.kill()
    before = first.join()
    after = clients.Burst(fleet.url, calls, "load-after").start().join()
    logged = front_log.entries(fleet.access_log, [r["call"] for r in before])
    routed = {call: (e["status"], e["upstream"]) for call, e in logged.items()}
    failed = [r for r in before if r["status"] != 200]
    on_killed = [r for r in failed if r["status"] == 502 and routed.get(r["call"]) == (502, killed.server)]
    moved = [r for r in before if logged.get(r["call"], {}).get("retries")]
    links = [r["link"] for r in before + after if r["status"] == 200]
    partial = [link for link in links if not clients.complete_wav(clients.fetch(link)[1])]
    return {
        "calls": calls,
        "in flight on the killed host": int(lost),
        "failed": len(failed),
        "tried again on another host": len(moved),
        "failed, all 502 on the killed host": len(on_killed) == len(failed),
        "new calls after the kill": len(after),
        "of them failed": sum(r["status"] != 200 for r in after),
        "links checked": len(links),
        "links without a complete WAV": len(partial),
    }


def check_limits(cs):
    """Descriptors and backlogs for the largest C: hey holds C connections,
    the front twice that, each host and the stand-in up to C."""
    wanted = 4 * max(cs) + 1024
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(wanted, hard), hard))  # inherited by every child
    if min(wanted, hard) < wanted:
        print(f"warning: open files limited to {hard}, C = {max(cs)} wants {wanted}", file=sys.stderr)
    somaxconn = int(Path("/proc/sys/net/core/somaxconn").read_text())
    if somaxconn < max(cs):
        print(
            f"warning: net.core.somaxconn is {somaxconn}: a burst of {max(cs)} connections may be "
            "dropped and retried a second later",
            file=sys.stderr,
        )


def split(text, kind=str):
    return [kind(item) for item in text.split(",") if item]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument(
        "--concurrency", "--cs", default="500,1000,2000", help="calls in flight, comma-separated"
    )
    parser.add_argument(
        "--hosts", default="1,3", help="host counts, comma-separated; empty: the stand-in alone"
    )
    parser.add_argument("--worker-class", default="gevent,gthread", help="gunicorn worker classes")
    parser.add_argument("--impl", "--implementations", default="module,python", help="module, python or both")
    parser.add_argument(
        "--keep", default="1", help="WEBAPP_KEEP_CONNECTIONS of the hosts, comma-separated: 0, 1 or both"
    )
    parser.add_argument(
        "--bundle",
        default="demo",
        help="the hosts' CA bundle, comma-separated: demo (the stand-in's certificate) or system (with it)",
    )
    parser.add_argument("--duration", type=int, default=50, help="seconds hey keeps the callers busy")
    parser.add_argument(
        "--settle",
        type=int,
        default=2 * WAIT,
        help="seconds left out of the rate at the start (callers start over the first wait)",
    )
    parser.add_argument("--groups", type=int, default=20, help="hey processes, started one after another")
    parser.add_argument(
        "--standin-seconds", type=int, default=20, help="the stand-in alone, per C; 0 skips it"
    )
    parser.add_argument("--no-failure", action="store_true", help="skip the host-failure run")
    parser.add_argument("--failure-calls", type=int, default=90)
    parser.add_argument(
        "--overload",
        default="",
        help="multiples of the fleet's caps, comma-separated: only the overload runs",
    )
    parser.add_argument(
        "--quick", action="store_true", help="C = 1000 on 3 gevent hosts, the module, 40 s, no failure run"
    )
    args = parser.parse_args()
    if args.quick:
        args.concurrency, args.hosts, args.worker_class, args.impl = "1000", "3", "gevent", "module"
        args.duration, args.no_failure, args.standin_seconds = 40, True, 10
    if args.overload:
        return run_overload(split(args.overload, float), args)
    cs, host_counts = split(args.concurrency, int), split(args.hosts, int)
    if set(split(args.impl)) - set(APPS):
        sys.exit(f"--impl takes {' or '.join(APPS)}, not {args.impl!r}")
    if set(split(args.bundle)) - {"demo", "system"} or set(split(args.keep, int)) - {0, 1}:
        sys.exit("--bundle takes demo or system, --keep 0 or 1")
    if args.duration <= args.settle + WAIT:
        sys.exit("--duration must exceed --settle by more than one wait")
    if not shutil.which("hey"):
        sys.exit("hey is not installed (apt-get install hey)")
    nginx_binary()
    haproxy_binary()
    check_limits(cs)

    work = Path(tempfile.mkdtemp(prefix="dorvane-load-"))
    work.chmod(0o711)  # started as root, the fleet's nginx reads the store as nobody
    site = install(work / "site")
    standin = start_standin(work)
    bundles = {"demo": None}
    if "system" in split(args.bundle):
        bundles["system"] = system_bundle(standin, work / "system-bundle.pem")
    rows, alone, failure = [], [], None
    try:
        if args.standin_seconds:
            for c in cs:
                alone.append(standin_alone(standin, c, args.standin_seconds))
                print(f"stand-in alone at C={c}: {alone[-1]}", file=sys.stderr, flush=True)
        fleets = [
            (hosts, worker, impl, bundle, keep)
            for hosts in host_counts
            for worker in split(args.worker_class)
            for impl in split(args.impl)
            for bundle in split(args.bundle)
            for keep in split(args.keep, int)
        ]
        for hosts, worker, impl, bundle, keep in fleets:
            port = free_port()
            per_host = math.ceil(max(cs) / hosts) + 64
            env = fleet_env(standin, site, impl, worker, per_host, keep, bundles[bundle])
            folder = work / f"fleet-{hosts}-{worker}-{impl}-{bundle}-{keep}"
            front = front_limits(max(cs), math.ceil(max(cs) / hosts))
            with Fleet(folder, hosts, port=port, env=env, front=front) as fleet:
                for c in cs:
                    row = measure(fleet, standin, c, args.duration, args.settle, args.groups)
                    kind = {"hosts": hosts, "worker": worker, "impl": impl, "bundle": bundle, "keep": keep}
                    rows.append({**kind, **row})
                    print(
                        f"{hosts} host(s), {worker}, {impl}, {bundle} CA, keep {keep}, C={c}: "
                        f"{row['rate']:.1f} calls/s, {row['errors']} errors",
                        file=sys.stderr,
                        flush=True,
                    )
                if not args.no_failure and (hosts, impl) == (3, "module") and failure is None:
                    failure = failure_run(fleet, args.failure_calls)
        report(rows, alone, failure, args)
    finally:
        standin.stop()
        # Tens of thousands of audio files: the figures are out before this.
        shutil.rmtree(work, ignore_errors=True)


def run_overload(factors, args):
    if not shutil.which("hey"):
        sys.exit("hey is not installed (apt-get install hey)")
    work = Path(tempfile.mkdtemp(prefix="dorvane-overload-"))
    work.chmod(0o711)  # started as root, the fleet's nginx reads the store as nobody
    site = install(work / "site")
    standin = start_standin(work)
    rows = []
    try:
        env = fleet_env(standin, site, "module", "gevent", 1000)
        # hey is one address: the per-client limits out of its way, the
        # hosts' caps the fleet's own.
        front = Front(client_calls=1 << 20, client_connections=1 << 20, client_rate=1 << 24)
        fleet = Fleet(work / "fleet", 3, port=free_port(), env=env, front=front)
        most = math.ceil(max(factors) * fleet.host_calls() * len(fleet.hosts))
        front.max_connections = max(front.max_connections, 2 * most + 256)
        check_limits([most])
        with fleet:
            for factor in factors:
                rows.append(overload(fleet, factor, args.duration, args.settle, args.groups))
                print(f"{factor}x: {rows[-1]}", file=sys.stderr, flush=True)
                time.sleep(WAIT + 2)  # the last calls end before the next run
        overload_table(rows, args)
    finally:
        standin.stop()
        shutil.rmtree(work, ignore_errors=True)


def table(rows, args, cores):
    print(
        f"\nload through the front: C callers in {args.groups} hey processes started over {WAIT} s, until "
        f"{args.duration} s; text-to-speech; rate over {args.settle}..{args.duration} s; {cores} cores\n"
    )
    print(
        "| hosts | worker | impl | CA bundle | kept connections | C | completed/s | ideal C/10 s | ratio "
        "| median (s) | p99 (s) | slowest (s) | errors | CPU per call (ms): hosts / front / stand-in / hey "
        "| CPU per call, all (ms) | calls/s at all cores busy | speech connections per call "
        "| peak RSS per host (MiB) | RSS per call in flight (KiB) | others (cores) |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        cpu = r["cpu ms"]
        limit = 1000 * cores / sum(cpu.values()) if sum(cpu.values()) else float("nan")
        errors = f"{r['errors']}" + (f" ({', '.join(map(str, r['statuses']))})" if r["errors"] else "")
        print(
            f"| {r['hosts']} | {r['worker']} | {r['impl']} | {r['bundle']} | {'yes' if r['keep'] else 'no'} | "
            f"{r['c']} | {r['rate']:.1f} | {r['ideal']:.0f} | "
            f"{r['ratio']:.3f} | {r['p50']:.2f} | {r['p99']:.2f} | {r['max']:.2f} | {errors} | "
            f"{cpu['hosts']:.1f} / {cpu['front']:.1f} / {cpu['stand-in']:.1f} / {cpu['driver']:.1f} | "
            f"{sum(cpu.values()):.1f} | {limit:.0f} | {r['connections per call']:.2f} | "
            f"{' / '.join(f'{m:.0f}' for m in r['rss'])} | {r['kib per call']:.0f} | {r['others']:.2f} |"
        )


# Kept connections against a new one for every request, by CA bundle: the
# most the hosts' CPU per call may be, as a share of it without them.
KEPT_CPU = {"system": 1 / 3, "demo": 0.6}
KEPT_RATE = {"c": 2000, "hosts": 3, "ratio": 1.5}


def kept_against_not(rows):
    """Each row with kept connections against the same row without them."""
    without = {(r["hosts"], r["worker"], r["impl"], r["bundle"], r["c"]): r for r in rows if not r["keep"]}
    for r in rows:
        before = without.get((r["hosts"], r["worker"], r["impl"], r["bundle"], r["c"]))
        if not r["keep"] or before is None:
            continue
        cpu, rate = r["cpu ms"]["hosts"] / before["cpu ms"]["hosts"], r["rate"] / before["rate"]
        verdicts = [f"hosts' CPU per call {cpu:.3f} of before (target ≤ {KEPT_CPU[r['bundle']]:.2f})"]
        if (r["hosts"], r["c"]) == (KEPT_RATE["hosts"], KEPT_RATE["c"]):
            verdicts.append(f"calls/s {rate:.2f}× (target ≥ {KEPT_RATE['ratio']})")
        met = cpu <= KEPT_CPU[r["bundle"]] and (len(verdicts) == 1 or rate >= KEPT_RATE["ratio"])
        print(
            f"- kept connections, {r['hosts']} {r['worker']} host(s), {r['impl']}, {r['bundle']} CA, C = {r['c']}: "
            f"{'; '.join(verdicts)}; calls/s {r['rate']:.1f} against {before['rate']:.1f}, "
            f"p99 {r['p99']:.2f} against {before['p99']:.2f} s, stand-in CPU per call "
            f"{r['cpu ms']['stand-in']:.1f} against {before['cpu ms']['stand-in']:.1f} ms, all "
            f"{sum(r['cpu ms'].values()):.1f} against {sum(before['cpu ms'].values()):.1f} ms: "
            f"{'met' if met else 'MISSED'}"
        )


def report(rows, alone, failure, args):
    if rows:
        table(rows, args, os.cpu_count())
    if alone:
        print(
            "\nthe stand-in alone, at the rate of C callers (a text-to-speech request and a download per call):\n"
        )
        print("| C | calls/s asked | requests/s served | errors | p99 (ms) | CPU per call (ms) | cores |")
        print("|---|---|---|---|---|---|---|")
        for a in alone:
            print(
                f"| {a['c']} | {a['rate']:.0f} | {a['posts/s'] + a['gets/s']:.0f} | {a['errors']} | "
                f"{a['p99 ms']:.0f} | {a['cpu ms per call']:.2f} | {a['cores']:.2f} |"
            )
    print()
    kept_against_not(rows)
    by_key = {(r["hosts"], r["worker"], r["impl"], r["c"], r["bundle"], r["keep"]): r for r in rows}
    for r in rows:
        if (r["hosts"], r["worker"], r["impl"], r["c"], r["keep"]) == (
            TARGET["hosts"],
            TARGET["worker"],
            "module",
            TARGET["c"],
            1,
        ):
            met = r["ratio"] >= TARGET["ratio"] and r["errors"] == 0 and r["p99"] <= TARGET["p99"]
            print(
                f"- target, C = {TARGET['c']} on {TARGET['hosts']} {TARGET['worker']} hosts: ≥ {TARGET['ratio']} "
                f"of ideal, no error, p99 ≤ {TARGET['p99']} s: {'met' if met else 'MISSED'} "
                f"({r['ratio']:.3f}, {r['errors']} errors, p99 {r['p99']:.2f} s)"
            )
        plain = by_key.get((r["hosts"], r["worker"], "python", r["c"], r["bundle"], r["keep"]))
        if r["impl"] == "module" and plain:
            print(
                f"- {r['hosts']} host(s), {r['worker']}, C = {r['c']}: module / plain rate "
                f"{r['rate'] / plain['rate']:.3f}, median {r['p50']:.2f} against {plain['p50']:.2f} s"
            )
    if failure:
        print("\nhost failure, 3 hosts, module:", json.dumps(failure, indent=1))


if __name__ == "__main__":
    main()
