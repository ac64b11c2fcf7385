"""Clients of a fleet: text-to-speech calls through the front, alone, in a
burst or as callers that fetch each link at once, and what they prove:
which host answered, whether a link serves a complete WAV, and how many
calls a host is answering. The fleet tests, the benchmarks and
fleet_calls.py use them alike."""

import functools
import http.client
import io
import json
import threading
import time
import urllib.error
import urllib.request
import wave

from prometheus_client.parser import text_string_to_metric_families


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
            body = response.read()
        try:
            outcome["link"] = json.loads(body)["data"]["convert_result"][0]["oss_url"]
        except (ValueError, KeyError, IndexError, TypeError) as e:
            # An answer without a link: what it said instead.
            outcome["error"] = f"{e!r} in {body[:300].decode(errors='replace')}"
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
    """Calls that all start at once, each on its own thread, or one every
    `every` seconds; with `text`, all speak that one text."""

    def __init__(self, base_url, count, label, text=None):
        self.text = text
        self.results = [None] * count
        self.threads = [
            threading.Thread(target=self._call, args=(i, base_url, f"{label}-{i}"), daemon=True)
            for i in range(count)
        ]

    def _call(self, i, base_url, call_id):
        self.results[i] = post_tts(base_url, self.text or f"Call {call_id} through the balancer.", call_id)

    def start(self, every=0.0):
        for thread in self.threads:
            thread.start()
            time.sleep(every)
        return self

    def join(self, timeout=180):
        for thread in self.threads:
            thread.join(timeout)
        return self.results


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


def in_flight(host, route="/api/tts"):
    """The calls a host (a host_process.Host) is answering now, from its own /metrics."""
    for family in text_string_to_metric_families(host.get("/metrics")[1].decode()):
        if family.name == "webapp_requests_in_flight":
            return sum(s.value for s in family.samples if s.labels.get("route") == route)
    return 0.0
