"""Calls through the front and what they prove: which host answered,
whether each link serves a complete WAV, and where a failed call had gone.

The fleet tests, the load benchmark and an operator checking a running
fleet use these alike:

    python fleet_calls.py --calls 24 --kill-one --after 12 [--fleet var/fleet]
"""

import argparse
import asyncio
import datetime
import functools
import http.client
import io
import json
import re
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
import wave
from pathlib import Path

import repository  # noqa: F401

import cluster
from prometheus_client.parser import text_string_to_metric_families

from support import STACK
from support.defaults import BASE_URL

LOG_LINE = re.compile(
    r'\[(?P<received>[^]]+)\] "(?P<request>[^"]*)" (?P<status>\d{3}) .* upstream=(?P<upstream>\S+) '
    r".* retries=\+?(?P<retries>\d+) queue=(?P<queue>-?\d+) .* call=(?P<call>\S+)$"
)


def opener(source=None):
    """A urllib opener whose connections leave from the loopback address
    `source` (None: the system's choice), as another client's would."""
    if source is None:
        return urllib.request.build_opener()

    class FromSource(urllib.request.HTTPHandler):
        def http_open(self, request):
            return self.do_open(
                functools.partial(http.client.HTTPConnection, source_address=(source, 0)), request
            )

    return urllib.request.build_opener(FromSource)


def post_tts(base_url, text, call_id, timeout=120, speed=None, source=None):
    """One text-to-speech call, from the loopback address `source`;
    returns what came back, never raises."""
    body = {"text": text, "voice_id": "en-us"}
    if speed is not None:
        body["speed"] = speed
    request = urllib.request.Request(
        base_url.rstrip("/") + "/api/tts",
        data=json.dumps(body).encode(),
        headers={"Content-Type": "application/json", "X-Call-Id": call_id},
    )
    outcome = {
        "call": call_id,
        "status": None,
        "served_by": None,
        "link": None,
        "error": None,
        "retry_after": None,
    }
    started = time.monotonic()
    try:
        with opener(source).open(request, timeout=timeout) as response:
            outcome.update(status=response.status, served_by=response.headers.get("X-Served-By"))
            answer = json.load(response)
        outcome["link"] = answer["data"]["convert_result"][0]["oss_url"]
    except urllib.error.HTTPError as e:
        outcome.update(
            status=e.code,
            served_by=e.headers.get("X-Served-By"),
            retry_after=e.headers.get("Retry-After"),
            error=e.read().decode(errors="replace")[:200],
        )
    except (OSError, ValueError, KeyError, IndexError, TypeError) as e:
        outcome["error"] = repr(e)
    outcome["ended"] = time.monotonic()
    outcome["seconds"] = outcome["ended"] - started
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


def flood_address(i):
    """The loopback address that stands for the i-th client of a flood:
    127.1.x.y, apart from 127.0.0.1, which the honest callers use."""
    return f"127.1.{i // 250}.{i % 250 + 1}"


async def _raw_call(host, port, source, request, timeout):
    started = time.monotonic()
    outcome = {"source": source, "status": None, "seconds": None, "retry_after": None, "error": None}
    try:
        async with asyncio.timeout(timeout):
            reader, writer = await asyncio.open_connection(host, port, local_addr=(source, 0))
            try:
                writer.write(request)
                head = await reader.readuntil(b"\r\n\r\n")
                lines = head.decode("latin-1").split("\r\n")
                outcome["status"] = int(lines[0].split()[1])
                for line in lines[1:]:
                    name, _, value = line.partition(":")
                    if name.lower() == "retry-after":
                        outcome["retry_after"] = value.strip()
                await reader.read()  # the body, to the close
            finally:
                writer.close()
    except (TimeoutError, OSError, asyncio.IncompleteReadError, ValueError, IndexError) as e:
        outcome["error"] = repr(e)
    outcome["seconds"] = time.monotonic() - started
    return outcome


def flood(base_url, addresses, per_address, text="A caller among many.", timeout=90, path="/api/tts"):
    """`addresses` x `per_address` text-to-speech calls, all sent at once,
    each from the loopback address of its client (flood_address) on a
    connection of its own: what many clients at one moment look like to the
    front. Returns one outcome per call (status None: no answer, see
    "error"), never raises for a call."""
    url = urllib.parse.urlsplit(base_url)
    body = json.dumps({"text": text, "voice_id": "en-us"}).encode()

    def request(call_id):
        return (
            f"POST {path} HTTP/1.1\r\nHost: {url.netloc}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(body)}\r\nX-Call-Id: {call_id}\r\nConnection: close\r\n\r\n"
        ).encode() + body

    async def run():
        calls = [
            _raw_call(url.hostname, url.port, flood_address(a), request(f"flood-{a}-{i}"), timeout)
            for a in range(addresses)
            for i in range(per_address)
        ]
        return await asyncio.gather(*calls)

    return asyncio.run(run())


async def _trickle(host, port, source, head, seconds, held):
    try:
        reader, writer = await asyncio.open_connection(host, port, local_addr=(source, 0))
    except OSError:
        return "refused"
    held.append(writer)
    try:
        writer.write(head)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            await asyncio.sleep(1)
            if reader.at_eof() or writer.is_closing():
                return "closed"
            writer.write(b"X")
            await writer.drain()
        return "held"
    except OSError:
        return "closed"
    finally:
        writer.close()


class Trickle:
    """`addresses` x `per_address` connections to the front, each sending
    the start of a request and then a byte of its headers a second, for
    `seconds` (a slowloris from many addresses), on a thread of its own;
    `outcomes` once joined: how each connection ended."""

    def __init__(self, base_url, addresses, per_address, seconds, first=100):
        self.url = urllib.parse.urlsplit(base_url)
        self.args = addresses, per_address, seconds, first
        self.held = []
        self.outcomes = None
        self.thread = threading.Thread(target=lambda: asyncio.run(self._run()), daemon=True)

    async def _run(self):
        addresses, per_address, seconds, first = self.args
        head = f"POST /api/tts HTTP/1.1\r\nHost: {self.url.netloc}\r\nX-Slow: ".encode()
        self.outcomes = await asyncio.gather(
            *[
                _trickle(self.url.hostname, self.url.port, flood_address(first + a), head, seconds, self.held)
                for a in range(addresses)
                for _ in range(per_address)
            ]
        )

    def start(self):
        self.thread.start()
        return self

    def join(self, timeout=None):
        self.thread.join(timeout)
        return self.outcomes


async def _read_slowly(host, port, source, request, seconds):
    import socket

    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # the window stays small
    sock.setblocking(False)
    try:
        sock.bind((source, 0))
        await asyncio.get_running_loop().sock_connect(sock, (host, port))
        reader, writer = await asyncio.open_connection(sock=sock)
    except OSError:
        sock.close()
        return "refused"
    try:
        writer.write(request)
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            try:
                # An answer that has not begun yet is still held open.
                if not await asyncio.wait_for(reader.read(1024), left):
                    return "closed"
            except TimeoutError:
                break
            await asyncio.sleep(1)
        return "held"
    except OSError:
        return "closed"
    finally:
        writer.close()


def read_slowly(base_url, path, addresses, per_address, seconds, first=200):
    """`addresses` x `per_address` clients that ask for `path` and read its
    answer a KiB a second, for `seconds`; how each connection ended."""
    url = urllib.parse.urlsplit(base_url)
    request = f"GET {path} HTTP/1.1\r\nHost: {url.netloc}\r\n\r\n".encode()

    async def run():
        return await asyncio.gather(
            *[
                _read_slowly(url.hostname, url.port, flood_address(first + a), request, seconds)
                for a in range(addresses)
                for _ in range(per_address)
            ]
        )

    return asyncio.run(run())


def callers(base_url, text, calls, at_once, speed=None, pause=1.0, label="flood", sources=(None,)):
    """`calls` text-to-speech calls, `at_once` at a time, as clients that
    fetch each link the moment its answer is in: each outcome's `served`
    says whether the link gave a complete WAV then. A caller refused takes
    `pause` seconds before its next call. The callers take turns at the
    loopback addresses `sources` (None: the system's choice)."""
    numbers = iter(range(calls))
    lock = threading.Lock()
    outcomes = []

    def caller(source):
        while True:
            with lock:
                number = next(numbers, None)
            if number is None:
                return
            outcome = post_tts(base_url, text, f"{label}-{number}", speed=speed, source=source)
            if outcome["link"]:
                try:
                    status, data = fetch(outcome["link"])
                except OSError:
                    status, data = None, b""
                outcome["served"] = status == 200 and complete_wav(data)
            outcomes.append(outcome)
            if outcome["status"] != 200:
                time.sleep(pause)

    threads = [
        threading.Thread(target=caller, args=(sources[i % len(sources)],), daemon=True)
        for i in range(at_once)
    ]
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


def entries(access_log, calls=(), seconds=5):
    """call id -> the front's line of it: "status" it answered, "upstream"
    (the host it went to last, by its name at the front; "<NOSRV>" when
    the front answered itself), "retries" (tries on other hosts),
    "received" (when the front had its request, seconds of the epoch) and
    "moved" (seconds from then until its last host had it). The front
    writes a call's line once it has closed the call, which may be after
    the client has read the answer: this waits up to `seconds` for the
    lines of `calls`."""
    deadline = time.monotonic() + seconds
    while True:
        seen = {}
        for line in Path(access_log).read_text().splitlines():
            match = LOG_LINE.search(line)
            if match and match["call"] != "-":
                received = datetime.datetime.strptime(match["received"], "%d/%b/%Y:%H:%M:%S.%f").replace(
                    tzinfo=datetime.UTC
                )
                seen[match["call"]] = {
                    "status": int(match["status"]),
                    "upstream": match["upstream"],
                    "retries": int(match["retries"]),
                    "received": received.timestamp(),
                    "moved": max(0, int(match["queue"])) / 1000,
                }
        if set(calls) <= seen.keys() or time.monotonic() > deadline:
            return seen
        time.sleep(0.05)


def routed(access_log, calls=(), seconds=5):
    """call id -> (status the front answered, the host it went to)."""
    return {call: (e["status"], e["upstream"]) for call, e in entries(access_log, calls, seconds).items()}


def retried(access_log, calls=(), seconds=5):
    """call id -> how many times the front tried it again elsewhere."""
    return {call: e["retries"] for call, e in entries(access_log, calls, seconds).items()}


def in_flight(host, route="/api/tts"):
    """The calls a host (a cluster.Host) is answering now, from its own /metrics."""
    for family in text_string_to_metric_families(host.get("/metrics")[1].decode()):
        if family.name == "webapp_requests_in_flight":
            return sum(s.value for s in family.samples if s.labels.get("route") == route)
    return 0.0


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
        cluster.kill_host(host["pid"])
        print(f"killed host-1 (process group {host['pid']}, socket {host['socket']})")
        after_ok, _ = wave_of(args.after, "after-kill")
        ok = ok and after_ok
    print("fleet check passed" if ok else "fleet check FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
