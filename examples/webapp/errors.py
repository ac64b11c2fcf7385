"""How the application's answers end: each names the host that gave it
(X-Served-By), and an error is JSON with its status: a body refused, a store
without room, busy or out of reach, an HTTP error, and whatever else failed."""

import logging

from flask import current_app, jsonify, request
from werkzeug.exceptions import HTTPException

from .bodies import BadBody
from .store import Busy, Full, Uncounted, Unreachable

log = logging.getLogger("webapp")


def name_the_host(response):
    response.headers["X-Served-By"] = current_app.config["SERVED_BY"]
    return response


def bad_body(e):
    return jsonify(error=str(e)), 400


def store_full(e):
    if e.written is not None:
        # The call ran, and its output passed what the store could give it.
        later = "try again shortly" if e.retry else "it is more than the cap, so no wait helps"
        return (
            jsonify(
                error=f"this call's output was stopped after {e.written} bytes: it needed at least "
                f"{e.room}, more than the output store had room for (its cap is {e.cap}); {later}"
            ),
            503,
            {"Retry-After": "10"} if e.retry else {},
        )
    if e.share is not None:
        return (
            jsonify(
                error=f"the calls in progress from your network and the files just handed out to it hold "
                f"its share of the output store ({e.share} bytes); try again shortly"
            ),
            429,
            {"Retry-After": "10"},
        )
    if not e.retry:
        return jsonify(
            error=f"this call's output may take {e.room} bytes, more than the output store's cap of {e.cap}"
        ), 503
    # The calls in flight and the files handed out within their grace
    # take what the store may hold; calls end within their wait and
    # files come out of their grace, so a retry soon may find room.
    return (
        jsonify(
            error="the output store is full with the calls in progress and the files just handed "
            "out; try again shortly"
        ),
        503,
        {"Retry-After": "10"},
    )


def store_busy(e):
    # Every host counts the room in one queue: another host is no sooner.
    stopped = "" if e.written is None else f"this call's output was stopped after {e.written} bytes: "
    return (
        jsonify(
            error=f"{stopped}the output store is busy counting the room of other calls, and this call's "
            f"turn did not come within {e.wait:g} s; try again shortly"
        ),
        503,
        {"Retry-After": "10"},
    )


def store_uncounted(e):
    return (
        jsonify(error="this host's count of the output store is late; try again shortly"),
        503,
        {"Retry-After": "10"},
    )


def store_unreachable(e):
    # Nothing was handed out: the front may send the call to a host whose
    # mount reaches the storage.
    return jsonify(error="this host could not reach the output store; try again shortly"), 504


def http_error(e):
    response = jsonify(error=e.description)
    # The error's own headers (WWW-Authenticate, Allow) still go out.
    for name, value in e.get_headers():
        if name.lower() != "content-type":
            response.headers.add(name, value)
    return response, e.code


def unexpected(e):
    # The module lets some answers through as exceptions (an answer that is
    # JSON but not an object); the client gets a message, the log the trace.
    log.exception("unhandled error in %s %s", request.method, request.path)
    return jsonify(error=f"the operation failed unexpectedly ({type(e).__name__}); see the server log"), 500


def register(app):
    app.after_request(name_the_host)
    app.register_error_handler(BadBody, bad_body)
    app.register_error_handler(Full, store_full)
    app.register_error_handler(Busy, store_busy)
    app.register_error_handler(Uncounted, store_uncounted)
    app.register_error_handler(Unreachable, store_unreachable)
    app.register_error_handler(HTTPException, http_error)
    app.register_error_handler(Exception, unexpected)
