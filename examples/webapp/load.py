"""The operator's load route: run_mod, open only to the bearer of the
operator's token, and one load at a time per host."""

import hmac

from flask import Blueprint, current_app, jsonify, request
from werkzeug.datastructures import WWWAuthenticate
from werkzeug.exceptions import Conflict, NotFound, Unauthorized

from . import offload
from .bodies import LoadBody, read_body
from .locks import try_lock

# In the working directory, which the host's workers share and no other host does: a lock
# in one process would let each worker load, one on the shared store serialise the fleet.
RUN_MOD_LOCK = ".run_mod.lock"

bp = Blueprint("operator", __name__)


@bp.before_request
def require_operator():
    token = current_app.config["OPERATOR_TOKEN"]
    if not token:
        raise NotFound()
    scheme, _, given = request.headers.get("Authorization", "").partition(" ")
    # Constant time, so the answer's timing tells nothing of the token.
    if scheme.lower() != "bearer" or not hmac.compare_digest(given.strip().encode(), token.encode()):
        raise Unauthorized(
            "this route needs the operator's bearer token", www_authenticate=WWWAuthenticate("bearer")
        )


@bp.post("/api/run_mod")
def run_mod():
    size = read_body(LoadBody).size
    with try_lock(RUN_MOD_LOCK) as held:
        if not held:
            raise Conflict("a load is already running on this host")
        # It never waits: off gevent's loop, so this worker's other calls go on meanwhile.
        offload.run(current_app.extensions["webapp.dorvane"].run_mod, size)
    return jsonify(status="done", size=size), 200
