"""Per-route request counts, latencies and calls in flight, for prometheus.

Every gunicorn worker is its own process, so the figures go through
prometheus_client's multi-process mode: each worker writes its files in
PROMETHEUS_MULTIPROC_DIR (gunicorn.conf.py), and /metrics adds them up.
Without that variable the process's own registry answers.
"""

import os
import time

from flask import g, request
from prometheus_client import (
    CONTENT_TYPE_LATEST,
    REGISTRY,
    CollectorRegistry,
    Counter,
    Gauge,
    Histogram,
    generate_latest,
    multiprocess,
)

REQUESTS = Counter(
    "webapp_requests", "Requests answered, by route, method and status", ["route", "method", "status"]
)
# The speech calls wait a fixed ten seconds, so the buckets are dense there.
LATENCY = Histogram(
    "webapp_request_duration_seconds",
    "Time to answer, by route",
    ["route"],
    buckets=(0.005, 0.025, 0.1, 0.5, 1, 2.5, 5, 10, 10.25, 10.5, 11, 12, 15, 20, 30, 60, 120, 240),
)
IN_FLIGHT = Gauge(
    "webapp_requests_in_flight", "Requests being answered, by route", ["route"], multiprocess_mode="livesum"
)
# Every worker looks at the one store; the figure of the latest look wins.
OUTPUT_BYTES = Gauge(
    "webapp_output_bytes",
    "Bytes in the output store, as of the latest look",
    multiprocess_mode="livemostrecent",
)

# A label value is a series for good: only these methods are named, and any
# other word a client sends as its method is counted as "other".
METHODS = frozenset({"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH", "CONNECT", "TRACE"})


def _route():
    # The rule, not the path: file names and stray paths would make a series each.
    return request.url_rule.rule if request.url_rule is not None else "unmatched"


def _method():
    return request.method if request.method in METHODS else "other"


def instrument(app):
    """Counts every request of `app`."""

    @app.before_request
    def started():
        g.metrics_route = _route()
        g.metrics_start = time.perf_counter()
        IN_FLIGHT.labels(g.metrics_route).inc()

    @app.after_request
    def answered(response):
        route = g.get("metrics_route", _route())
        REQUESTS.labels(route, _method(), str(response.status_code)).inc()
        if "metrics_start" in g:
            LATENCY.labels(route).observe(time.perf_counter() - g.metrics_start)
        return response

    @app.teardown_request
    def finished(error):
        if "metrics_route" in g:
            IN_FLIGHT.labels(g.pop("metrics_route")).dec()


def exposition(output_bytes):
    """(body, content type) of the figures of every worker of this host, with
    the store's size `output_bytes` as last counted (None: not yet)."""
    if output_bytes is not None:
        OUTPUT_BYTES.set(output_bytes)
    if os.environ.get("PROMETHEUS_MULTIPROC_DIR"):
        registry = CollectorRegistry()
        multiprocess.MultiProcessCollector(registry)
    else:
        registry = REGISTRY
    return generate_latest(registry), CONTENT_TYPE_LATEST
