"""Calls through the front and what they prove: which host answered,
whether each link serves a complete WAV, and where a failed call had gone.

The fleet tests, the load benchmark and an operator checking a running
fleet use these alike:

    python fleet_calls.py --calls 24 --kill-one --after 12 [--fleet var/fleet]
"""

import argparse
import io
import json
import re
import sys
import threading
import time
import urllib.error
import urllib.request
import wave
from pathlib import Path

import cluster

HERE = Path(__file__).resolve().parent
LOG_LINE = re.compile(r'"(?P<request>[^"]*)" (?P<status>\d{3}) .* upstream=(?P<upstream>\S+) .* call=(?P<call>\S+)$')


def post_tts(base_url, text, call_id, timeout=120, speed=None):
    """One text-to-speech call; returns what came back, never raises."""
    body = {"text": text, "voice_id": "en-us"}
    if speed is not None:
        body["speed"] = speed
    request = urllib.request.Request(
        base_url.rstrip("/") + "/api/tts", data=json.dumps(body).encode(),
        headers={"Content-Type": "application/json", "X-Call-Id": call_id})
    outcome = {"call": call_id, "status": None, "served_by": None, "link": None, "error": None, "retry_after": None}
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            outcome.update(status=response.status, served_by=response.headers.get("X-Served-By"))
            answer = json.load(response)
        outcome["link"] = answer["data"]["convert_result"][0]["oss_url"]
    except urllib.error.HTTPError as e:
        outcome.update(status=e.code, served_by=e.headers.get("X-Served-By"), retry_after=e.headers.get("Retry-After"),
                       error=e.read().decode(errors="replace")[:200])
    except (OSError, ValueError, KeyError, IndexError, TypeError) as e:
        outcome["error"] = repr(e)
    return outcome


class Burst:
    """Calls that all start at once, each on its own thread."""

    def __init__(self, base_url, count, label):
        self.results = [None] * count
        self.threads = [
            threading.Thread(target=self._call, args=(i, base_url, f"{label}-{i}"), daemon=True)
            for i in range(count)
        ]

    def _call(self, i, base_url, call_id):
        self.results[i] = post_tts(base_url, f"Call {call_id} through the balancer.", call_id)

    def start(self):
        for thread in self.threads:
            thread.start()
        return self

    def join(self, timeout=180):
        for thread in self.threads:
            thread.join(timeout)
        return self.results


def flood(base_url, text, calls, at_once, speed=None, pause=1.0, label="flood"):
    """`calls` text-to-speech calls, `at_once` at a time, as clients that
    fetch each link the moment its answer is in: each outcome's `served`
    says whether the link gave a complete WAV then. A caller refused takes
    `pause` seconds before its next call."""
    numbers = iter(range(calls))
    lock = threading.Lock()
    outcomes = []

    def caller():
        while True:
            with lock:
                number = next(numbers, None)
            if number is None:
                return
            outcome = post_tts(base_url, text, f"{label}-{number}", speed=speed)
            if outcome["link"]:
                try:
                    status, data = fetch(outcome["link"])
                except OSError:
                    status, data = None, b""
                outcome["served"] = status == 200 and complete_wav(data)
            outcomes.append(outcome)
            if outcome["status"] != 200:
                time.sleep(pause)

    threads = [threading.Thread(target=caller, daemon=True) for _ in range(at_once)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return outcomes


def complete_wav(data):
    """True when `data` is a whole WAV file: its RIFF size and its frames
    account for every byte, so a cut-off copy fails."""
    try:
        with wave.open(io.BytesIO(data)) as w:
            frames = w.getnframes() * w.getsampwidth() * w.getnchannels()
    except (wave.Error, EOFError):
        return False
    riff_size = int.from_bytes(data[4:8], "little")
    return frames > 0 and riff_size + 8 == len(data) and len(data) >= frames + 44


def fetch(link, timeout=30):
    try:
        with urllib.request.urlopen(link, timeout=timeout) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as e:
        return e.code, b""


def routed(access_log, calls=(), seconds=5):
    """call id -> (status the front answered, the host it went to, by its
    name at the front; "<NOSRV>" when the front answered itself). The front
    writes a call's line once it has closed the call, which may be after
    the client has read the answer: this waits up to `seconds` for the
    lines of `calls`."""
    deadline = time.monotonic() + seconds
    while True:
        seen = {}
        for line in Path(access_log).read_text().splitlines():
            match = LOG_LINE.search(line)
            if match and match["call"] != "-":
                seen[match["call"]] = (int(match["status"]), match["upstream"])
        if set(calls) <= seen.keys() or time.monotonic() > deadline:
            return seen
        time.sleep(0.05)


def in_flight(host, route="/api/tts"):
    """The calls a host (a cluster.Host) is answering now, from its own /metrics."""
    text = host.get("/metrics")[1].decode()
    match = re.search(r'^webapp_requests_in_flight\{route="%s"\} (\S+)$' % re.escape(route), text, re.M)
    return float(match[1]) if match else 0.0


def main(argv=None):
    parser = argparse.ArgumentParser(description="check a running fleet through its balancer")
    parser.add_argument("--url", default="http://127.0.0.1:5000/")
    parser.add_argument("--calls", type=int, default=24)
    parser.add_argument("--kill-one", action="store_true", help="then kill the first host outright")
    parser.add_argument("--after", type=int, default=12, help="calls after the kill")
    parser.add_argument("--fleet", default=str(HERE / "var" / "fleet"), help="the fleet's folder")
    args = parser.parse_args(argv)

    def wave_of(count, label):
        results = Burst(args.url, count, label).start().join()
        failed = [r for r in results if r["status"] != 200 or r["link"] is None]
        hosts = sorted({r["served_by"] for r in results if r["status"] == 200})
        bad_links = [r["link"] for r in results if r["link"] and not complete_wav(fetch(r["link"])[1])]
        print(f"{label}: {count} calls, {count - len(failed)} answered by {hosts}; "
              f"{len(failed)} failed; {len(bad_links)} links without a complete WAV")
        for r in failed[:5]:
            print(f"  failed: {r}")
        return not failed and not bad_links, hosts

    ok, hosts = wave_of(args.calls, "spread")
    ok = ok and len(hosts) >= 2
    if args.kill_one:
        host = json.loads((Path(args.fleet) / "host-1" / "host.json").read_text())
        cluster.kill_host(host["pid"], host["socket"])
        print(f"killed host-1 (process group {host['pid']}, socket {host['socket']})")
        after_ok, _ = wave_of(args.after, "after-kill")
        ok = ok and after_ok
    print("fleet check passed" if ok else "fleet check FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
