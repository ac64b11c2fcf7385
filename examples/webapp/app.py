"""Example host web application for dorvane.

JSON routes call the module's operations and turn their results into HTTP
responses: a (payload, status) pair gives that status, a payload alone gives
200, remote failures included (they are payloads with an "error" member). The
folders the module writes into, "output/tts" and "output/clone/" under the
working directory, are served under the application root, so the links the
module returns resolve. One page drives it all from a browser.

Three blueprints: the API's calls, the operator's load, and the files (the
page and the module's output). Each route declares the body it takes (a
`Body`); `create_app` puts the typed settings (`Settings`, from the
WEBAPP_* environment) in `app.config` and registers the blueprints.
gunicorn.conf.py holds the server's own settings (address, workers, threads).
"""

import dataclasses
import hmac
import ipaddress
import json
import logging
import math
import os
import socket
import sys
import time
from pathlib import Path
from stat import S_ISREG
from typing import Annotated

import envsettings
import expiry
import metrics
import offload
import operators
from endpoints import CLONE_PATH, TRANSCRIBE_PATH, TTS_PATH
from flask import Blueprint, Flask, current_app, jsonify, render_template, request, send_file
from locks import try_lock
from pydantic import BaseModel, ConfigDict, Field, PlainValidator, ValidationError, model_validator
from pydantic.dataclasses import dataclass
from pydantic_core import PydanticCustomError
from werkzeug.datastructures import WWWAuthenticate
from werkzeug.exceptions import Conflict, HTTPException, NotFound, Unauthorized
from werkzeug.security import safe_join

HERE = Path(__file__).resolve().parent
OUTPUT_FOLDERS = {"tts": "output/tts", "clone": "output/clone"}
# One load at a time per application host. The lock file sits in the host's
# working directory, which all of its gunicorn workers share and no other
# host does: a lock held in one process would let each worker start its own
# load, and one on the shared output store would serialise the whole fleet.
RUN_MOD_LOCK = ".run_mod.lock"
# A front gives a call 240 seconds (the example fleet's FRONT_CALL_TIMEOUT):
# a transcription's time-out, the module's 10-second wait after it and the
# exchanges around both must fit in that.
TRANSCRIPTION_TIMEOUT_MAX = 200
log = logging.getLogger("webapp")


@dataclass(config=envsettings.FINITE)
class Settings:
    """Everything the application reads from its environment, WEBAPP_<NAME>
    for each field (envsettings), checked against its type whether read
    from there or made in code. `create_app` files them in `app.config`
    under their upper-case names (MAX_TEXT, SPEECH_URL, ...)."""

    # The folder dorvane is imported from, laid out with its model folders.
    dorvane_home: str = str(HERE / "site")
    # Root URL for the returned links; empty: the root the request came in on.
    base_url: str = ""
    # Remote services; empty: the endpoints built into the module.
    speech_url: str = ""
    transcription_url: str = ""
    # run_mod fills this many whole GiB at most; the host guards its own memory.
    run_mod_max_gb: int = 1
    # The bearer token that opens the load route to an operator; empty: the
    # route does not exist.
    operator_token: str = ""
    # Sent as X-Served-By on every answer, to tell the hosts behind a
    # balancer apart; gunicorn.conf.py sets it to host name:port.
    served_by: str = socket.gethostname()
    # Output files older than this many seconds are removed, and while the
    # store holds more than this many bytes the oldest go first; 0 turns a
    # rule off.
    output_max_age: float = 3600.0
    output_max_bytes: int = 1 << 30
    expiry_interval: float = 60.0
    # A file a call answered with stays this many seconds after the answer
    # whatever the limits, so that its client can fetch it; a call for which
    # the store has no room meanwhile gets 503. More than the module's wait
    # after its download (10 s), which the file also spends in the store.
    output_grace: float = 60.0
    # The room a cloning call reserves in the store: clone_voice keeps
    # whatever its service sends, with no bound of its own. The stand-in
    # hands back at most the 50 MiB of audio it takes in.
    output_clone_reserve: int = 50 << 20
    # The share of output_max_bytes that the calls of one client address
    # may hold in flight (its first call may always take what it needs);
    # 0 or 1: no share.
    output_client_share: Annotated[float, Field(ge=0, le=1)] = expiry.CLIENT_SHARE
    # Seconds a call holds room in the store it has not written into: a
    # call still waiting for its remote service then gives it back, and
    # takes room again as it writes.
    output_hold: float = expiry.HOLD
    # The peers whose X-Forwarded-For names the client (blank- or
    # comma-separated addresses), besides a unix socket's, which only the
    # front reaches: the server's setting of the same name.
    forwarded_allow_ips: str = ""
    # The longest text spoken in one call, in characters.
    max_text: int = 1000
    # Seconds the transcription service has to answer.
    transcription_timeout: Annotated[float, Field(gt=0, le=TRANSCRIPTION_TIMEOUT_MAX)] = 60.0

    @classmethod
    def from_environ(cls, environ=os.environ):
        return envsettings.read(cls, "WEBAPP_", environ)


class BadBody(Exception):
    """A request body the application refuses before calling the module."""


def load_dorvane(home):
    """Imports dorvane from its installation folder.

    The module looks for its model folders beside its own file, so it has to be
    imported from the folder that holds them, ahead of any other copy.
    """
    home = Path(home).resolve()
    if not home.is_dir():
        raise RuntimeError(f"no dorvane installation folder at {home}: run examples/stack/install-module")
    sys.path.insert(0, str(home))
    import dorvane

    if Path(dorvane.__file__).resolve().parent != home:
        raise RuntimeError(f"dorvane was imported from {dorvane.__file__}, not from {home}")
    return dorvane


# Seconds between a host's looks at what its readiness rests on (its
# installation, its output folder), made off the probes' path.
READY_EVERY = 1.0
# A look that has not come back for this long (hung on a disk gone away)
# leaves the host not ready.
READY_STALE = 10.0
# Seconds the store's size stands as counted (by a sweep, a call's look for
# room, or the readiness looks) before those looks count it again.
COUNT_EVERY = 10.0
# Seconds a worker's event loop may go without a turn before its host
# reports itself stuck. A busy loop turns many times a second; one stuck
# this long in a single call is not serving any other.
STALL = 30.0
# The slowest speech the host asks for: at half of normal speed a text of
# the longest length is some 5 MiB of audio.
MIN_SPEED = 0.5
# The room a text-to-speech call reserves in the store, at the lowest speed
# (at twice the speed, half). Measured on the stand-in's speech (espeak-ng,
# 16-bit mono at 22,050 Hz): English prose at speed 0.5 makes 5.6 to 7.8 KB
# a character (1,000 characters: 5.4 to 7.4 MiB), the shortest text some
# 70 KB, and both shrink as 1 / speed. So a call reserves 96 KiB and 8 KiB
# a character: 7.9 MiB for 1,000 characters. Text that is mostly pauses or
# letters spelled out one by one makes many times that (87 MB from 1,000
# characters): such a call takes more room as it writes, while the store
# has it, and is stopped when it has none.
TTS_ROOM = 96 * 1024
TTS_ROOM_PER_CHARACTER = 8 * 1024
# Numbers in a body are speeds, pitches, sizes and identifiers: none needs
# more digits than this, and a longer one costs the parser quadratic time.
MAX_DIGITS = 20


def _refuse_constant(name):
    raise BadBody(f"the request body has {name}, which is not a JSON number")


def _finite_float(text):
    value = float(text)
    if not math.isfinite(value):
        raise BadBody(f"the number {text[:40]} is out of range")
    return value


def _bounded_int(text):
    if len(text.lstrip("-")) > MAX_DIGITS:
        raise BadBody(f"a number has more than {MAX_DIGITS} digits")
    return int(text)


def _unique_members(pairs):
    body = {}
    for name, value in pairs:
        if name in body:
            raise BadBody(f"the member {name!r} appears twice")
        body[name] = value
    return body


def parse_json(data):
    """The JSON text `data` as strictly as a client may expect: UTF-8,
    standard numbers only, each member once. Whatever else it is gets
    BadBody, never an exception of the parser's own."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise BadBody("the request body is not UTF-8 text") from None
    try:
        return json.loads(
            text,
            parse_constant=_refuse_constant,
            parse_float=_finite_float,
            parse_int=_bounded_int,
            object_pairs_hook=_unique_members,
        )
    except RecursionError:
        raise BadBody("the request body is nested too deeply") from None
    except ValueError as e:
        raise BadBody(f"the request body must be a JSON object, and is not valid JSON: {e}") from None


def _unicode(name, value):
    # JSON's escapes can spell a lone surrogate, which no encoder takes.
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise BadBody(f"{name} is not valid Unicode text") from None
    return value


def _number(name, value, low, high):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise BadBody(f"{name} must be a number")
    if not low <= value <= high:
        raise BadBody(f"{name} must lie between {low} and {high}")
    return value


def member(check):
    """The kind of a body's member, checked by `check(name, value, limit)`,
    which returns the value it takes or raises BadBody in the API's own
    words. `limit(bound)` is the bound itself, or for a name the
    application's setting of that name (the call's validation context)."""

    def validate(value, info):
        def limit(bound):
            return info.context[bound] if isinstance(bound, str) else bound

        try:
            return check(info.field_name, value, limit)
        except BadBody as e:
            raise PydanticCustomError("member", "{reason}", {"reason": str(e)}) from None

    return PlainValidator(validate)


def text_field(max_length=None):
    def check(name, value, limit):
        if not isinstance(value, str) or not value.strip():
            raise BadBody(f"{name} must be a non-empty text")
        if max_length is not None and len(value) > limit(max_length):
            raise BadBody(f"{name} must be at most {limit(max_length)} characters long, not {len(value)}")
        return _unicode(name, value)

    return Annotated[str, member(check)]


def id_field():
    def check(name, value, limit):
        if isinstance(value, bool) or not isinstance(value, (str, int)):
            raise BadBody(f"{name} must be a text or an integer")
        return _unicode(name, value) if isinstance(value, str) else value

    return Annotated[str | int, member(check)]


def number_field(low, high):
    return Annotated[float, member(lambda name, value, limit: _number(name, value, limit(low), limit(high)))]


def whole_number_field(low, high):
    def check(name, value, limit):
        value = _number(name, value, limit(low), limit(high))
        if isinstance(value, float):
            if not value.is_integer():
                raise BadBody(
                    f"{name} must be a whole number from {limit(low)} to {limit(high)}, not {value}"
                )
            value = int(value)
        return value

    return Annotated[int, member(check)]


# pydantic rather than msgspec: it reports every missing and unknown member
# of a body at once, as the API's messages name them all, and hands each
# member's check its name and the application's settings, so that the
# messages clients get stay word for word. The members' checks stay the
# API's own (a bool is no number, a float may be a whole size); the JSON
# text is read strictly by parse_json before any of it.
class Body(BaseModel):
    """A request body as its route declares it: its members, the kind of
    each, which ones it needs, and no others."""

    model_config = ConfigDict(extra="forbid", frozen=True)

    @model_validator(mode="before")
    @classmethod
    def blank_is_missing(cls, members):
        # A client that sends a member it needs as null or "" has left it out.
        required = {name for name, field in cls.model_fields.items() if field.is_required()}
        return {
            name: value for name, value in members.items() if name not in required or value not in (None, "")
        }


class SpeechBody(Body):
    text: text_field(max_length="MAX_TEXT")
    voice_id: id_field()
    speed: number_field(MIN_SPEED, 4) = 1
    pitch: number_field(0, 2) = 1


class CloneBody(Body):
    audio_url: text_field()
    voice_id: id_field()


class TranscriptionBody(Body):
    audio_url: text_field()


class MusicBody(Body):
    prompt: text_field()


class SeparationBody(Body):
    url: text_field()


class LoadBody(Body):
    # The module turns GiB into a count of elements, which the tensor
    # library takes only whole.
    size: whole_number_field(0, "RUN_MOD_MAX_GB")


def _plural(what, names):
    return what + ("s" if len(names) > 1 else "") + ": " + ", ".join(names)


def read_body(schema):
    """The request's JSON object as the Body class `schema` declares it.
    What is missing is told first, then what is unknown, then the first
    member that is not of its kind."""
    if not request.is_json:
        raise BadBody("the request body must be a JSON object (Content-Type: application/json)")
    body = parse_json(request.get_data(cache=False))
    if not isinstance(body, dict):
        raise BadBody("the request body must be a JSON object (Content-Type: application/json)")
    try:
        return schema.model_validate(body, context=current_app.config)
    except ValidationError as e:
        errors = e.errors(include_url=False, include_input=False)
    missing = [error["loc"][0] for error in errors if error["type"] == "missing"]
    if missing:
        raise BadBody(_plural("missing field", missing))
    unknown = sorted(error["loc"][0] for error in errors if error["type"] == "extra_forbidden")
    if unknown:
        raise BadBody(_plural("unknown field", unknown))
    raise BadBody(errors[0]["msg"])


def written_files(result, base, store, kind):
    """The files under `store`/`kind` that the links in a call's result
    point to: the call's own output."""
    prefix = f"{base}output/{kind}/"
    found = []

    def walk(value):
        if isinstance(value, str):
            name = value[len(prefix) :] if value.startswith(prefix) else ""
            if name and "/" not in name and not expiry.is_partial(name):
                found.append(store / kind / name)
        elif isinstance(value, dict):
            for item in value.values():
                walk(item)
        elif isinstance(value, list):
            for item in value:
                walk(item)

    if not isinstance(result, tuple):
        walk(result)
    return found


def send_held(path, name):
    """The file at `path` as an answer, sent from a descriptor that holds the
    shared lock the expiry sweep respects: the server's closing of the file
    at the answer's end is what lets the sweep remove it."""
    try:
        fd = expiry.hold_for_reading(path)
    except OSError:
        raise NotFound() from None
    stat = os.fstat(fd)
    if not S_ISREG(stat.st_mode):
        os.close(fd)
        raise NotFound()
    file = os.fdopen(fd, "rb")
    try:
        response = send_file(
            file,
            download_name=name,
            conditional=False,
            etag=f"{stat.st_mtime}-{stat.st_size}",
            last_modified=stat.st_mtime,
            max_age=0,
        )
        # A file object tells send_file no length; ranges (audio elements
        # seek) need it.
        response.content_length = stat.st_size
        return response.make_conditional(request.environ, accept_ranges=True, complete_length=stat.st_size)
    except BaseException:
        file.close()
        raise


def respond(result):
    if isinstance(result, tuple):
        payload, status = result
        return jsonify(payload), status
    return jsonify(result), 200


def _module():
    return current_app.extensions["webapp.dorvane"]


def _base_url():
    return current_app.config["BASE_URL"] or request.host_url


def _endpoint(argument, setting, path):
    """The module's `argument` naming a service at the root URL the
    setting holds; none where the setting is empty."""
    url = current_app.config[setting]
    return {argument: url.rstrip("/") + path} if url else {}


def client_address():
    """The address the call came from: the front's word for it where the
    server believes the front's forwarded headers (a unix socket, which
    only the front reaches, or a peer in FORWARDED_ALLOW_IPS), else the
    peer's own. The front sets X-Forwarded-For to one address; the last is
    the one the nearest proxy added."""
    peer = request.remote_addr or ""
    allowed = current_app.config["FORWARDED_ALLOW_IPS"].replace(",", " ").split()
    forwarded = request.headers.get("X-Forwarded-For", "")
    try:
        ipaddress.ip_address(peer)
        trusted = peer in allowed or "*" in allowed
    except ValueError:
        trusted = True  # not an IP peer: a unix socket
    if trusted and forwarded.strip():
        return forwarded.rsplit(",", 1)[-1].strip()
    return peer


def stored(folder, operation, kwargs, estimate):
    """`operation(**kwargs)` within the room the store gives a call whose
    output should take `estimate` bytes, with the files it wrote into
    `folder` counted."""
    store = current_app.extensions["webapp.store"]
    with store.call(folder, estimate, client_address()) as written:
        result = operation(**kwargs)
        written += written_files(result, kwargs["base_url"], store.root, folder)
    return result


api = Blueprint("api", __name__)


@api.get("/api/status")
def status():
    return respond(_module().check_project_structure())


@api.post("/api/tts")
def tts():
    body = read_body(SpeechBody)
    kwargs = {
        "text": body.text,
        "voice_id": body.voice_id,
        "speed": body.speed,
        "pitch": body.pitch,
        "base_url": _base_url(),
        **_endpoint("tts_endpoint", "SPEECH_URL", TTS_PATH),
    }
    estimate = (TTS_ROOM + TTS_ROOM_PER_CHARACTER * len(body.text)) * MIN_SPEED / body.speed
    return respond(stored("tts", _module().generate_tts, kwargs, estimate))


@api.post("/api/clone")
def clone():
    body = read_body(CloneBody)
    kwargs = {
        "audio_url": body.audio_url,
        "clone_voice_id": body.voice_id,
        "base_url": _base_url(),
        **_endpoint("tts_endpoint", "SPEECH_URL", CLONE_PATH),
    }
    return respond(stored("clone", _module().clone_voice, kwargs, current_app.config["OUTPUT_CLONE_RESERVE"]))


@api.post("/api/transcribe")
def transcribe():
    body = read_body(TranscriptionBody)
    kwargs = {
        "audio_url": body.audio_url,
        "timeout": current_app.config["TRANSCRIPTION_TIMEOUT"],
        **_endpoint("stt_endpoint", "TRANSCRIPTION_URL", TRANSCRIBE_PATH),
    }
    return respond(_module().transcribe_audio(**kwargs))


@api.post("/api/music/generate")
def gen_music():
    return respond(_module().gen_music(read_body(MusicBody).prompt))


@api.post("/api/music/separate")
def sep_music():
    return respond(_module().sep_music(read_body(SeparationBody).url))


operator = Blueprint("operator", __name__)


@operator.before_request
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


@operator.post("/api/run_mod")
def run_mod():
    size = read_body(LoadBody).size
    with try_lock(RUN_MOD_LOCK) as held:
        if not held:
            raise Conflict("a load is already running on this host")
        # Ten seconds of computation that never waits: off gevent's loop,
        # so the calls in flight on this worker go on meanwhile.
        offload.run(_module().run_mod, size)
    return jsonify(status="done", size=size), 200


files = Blueprint("files", __name__)


@files.get("/")
def index():
    config = current_app.config
    return render_template(
        "index.html",
        max_text=config["MAX_TEXT"],
        min_speed=MIN_SPEED,
        transcription_timeout=config["TRANSCRIPTION_TIMEOUT"],
    )


@files.get("/output/<kind>/<name>")
def output_file(kind, name):
    # Only plain names inside the two folders: the route's converter keeps
    # "/" out, safe_join refuses "..", and the module's partial downloads
    # are not offered.
    folder = OUTPUT_FOLDERS.get(kind)
    if folder is None or expiry.is_partial(name) or "\\" in name:
        raise NotFound()
    root = Path.cwd() / folder
    # clone_voice stores a name with blanks as "%20" and links to it as
    # such, so a client asks for the decoded name: find the stored one.
    escaped = name.replace(" ", "%20")
    if escaped != name and not (root / name).is_file() and (root / escaped).is_file():
        name = escaped
    path = safe_join(str(root), name)
    if path is None:
        raise NotFound()
    return send_held(path, name)


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
                error=f"the calls in progress from your address hold their share of the output store "
                f"({e.share} bytes); wait for one to finish"
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


class Readiness:
    """What /readyz answers from: the problems that stop this host from
    taking calls (an incomplete installation, an output folder it cannot
    write: behind a balancer, the shared store, whose mount going away
    leaves a dangling link here) and the store's size, as of the latest
    look. The looks run on a thread of the operating system's (`start`),
    so a probe reads them from memory: it never waits on the disk, and does
    the same work with a hundred thousand files in the store as with ten."""

    def __init__(self, dorvane, store, settings):
        self.dorvane, self.store, self.settings = dorvane, store, settings
        self.problems, self.checked = None, None
        self.output_bytes, self.counted = None, None
        self.started, self.stops = False, []

    def check(self):
        problems = []
        checked = self.dorvane.check_project_structure()
        if "error" in checked:
            problems.append(checked["error"])
        output = Path("output")
        if output.is_symlink() or output.exists():
            if not (output.is_dir() and os.access(output, os.W_OK | os.X_OK)):
                problems.append("the output folder is missing or not writable")
        elif not os.access(".", os.W_OK | os.X_OK):
            problems.append("the working directory is not writable")
        self.problems, self.checked = problems, time.monotonic()

    def count(self):
        # A newer count of the worker's own (a sweep's, or a call's look for
        # room) stands for this one: a count lists and stats every file.
        known, looked = self.store.counted()
        if known is not None and (self.counted is None or looked > self.counted):
            self.output_bytes, self.counted = known, looked
        if self.counted is None or time.monotonic() - self.counted >= COUNT_EVERY:
            looked = time.monotonic()
            self.output_bytes = expiry.store_bytes(self.store.root, self.store.folders)
            self.counted = looked

    def start(self):
        """Checks once here (a few looks at folders), then every READY_EVERY
        seconds on a thread of its own; the store is counted on another, so
        that a long count never leaves the checks stale. Starting again
        starts nothing."""
        if not self.started:
            self.started = True
            self.check()
            self.stops = [operators.every(READY_EVERY, self.check), operators.every(READY_EVERY, self.count)]
        return self

    def stop(self):
        """Ends the looks (an application made again in one process, as in
        tests, would otherwise keep the old one's running)."""
        for stop in self.stops:
            stop()

    def answer(self):
        """(problems, figures) as of the latest look. A look that has not
        come back for READY_STALE seconds (hung on a disk gone away) fails."""
        problems = list(self.problems)
        age = time.monotonic() - self.checked
        if age > READY_STALE:
            problems.append(f"the host's readiness was last looked at {age:.0f} s ago")
        figures = {
            "served_by": self.settings.served_by,
            "output_bytes": self.output_bytes,
            "output_max_bytes": self.settings.output_max_bytes,
        }
        return problems, figures


def create_app(dorvane=None, settings=None):
    """The application. `dorvane` is the imported module; by default it is
    imported from `settings.dorvane_home`."""
    settings = settings or Settings.from_environ()
    if dorvane is None:
        dorvane = load_dorvane(settings.dorvane_home)

    app = Flask(__name__)
    app.config["MAX_CONTENT_LENGTH"] = 64 * 1024
    app.config.from_mapping({name.upper(): value for name, value in dataclasses.asdict(settings).items()})
    app.json.sort_keys = False  # payloads keep the order the module gave them
    # The module writes under the working directory as it is at the call,
    # which the server fixes before the application is made.
    store = expiry.Store(
        Path("output").absolute(),
        list(OUTPUT_FOLDERS),
        settings.output_max_age,
        settings.output_max_bytes,
        grace=settings.output_grace,
        interval=settings.expiry_interval,
        client_share=settings.output_client_share,
        hold=settings.output_hold,
    )
    # The module looks `open` up in its own namespace when it writes a
    # download: there, the files it writes during a call take what they
    # write from that call's room in the store.
    if not getattr(getattr(dorvane, "open", None), "bounds_writes", False):
        dorvane.open = expiry.opener()
    # Making the application starts nothing: the server starts the store's
    # timed sweep where it runs the application (start_expiry).
    app.extensions["webapp.dorvane"] = dorvane
    app.extensions["webapp.store"] = store
    app.extensions["webapp.settings"] = settings
    # For the operator listener (operator_routes), kept off the routes the
    # calls' socket serves: the front cannot route a client to it.
    app.extensions["webapp.readiness"] = Readiness(dorvane, store, settings)

    metrics.instrument(app)
    app.after_request(name_the_host)
    app.register_error_handler(BadBody, bad_body)
    app.register_error_handler(expiry.Full, store_full)
    app.register_error_handler(HTTPException, http_error)
    app.register_error_handler(Exception, unexpected)
    for blueprint in (api, operator, files):
        app.register_blueprint(blueprint)
    return app


def operator_routes(app, loop=None, stall=STALL):
    """/livez, /readyz (also /healthz, its older name) and /metrics of the
    application `app`, for the operator listener (operators.serve): path ->
    function giving (status, content type, body). Starts the readiness
    looks they answer from. `loop` (an operators.LoopClock) tells a stuck
    event loop from a busy one: one that has not turned for `stall` seconds
    fails both probes."""
    readiness = app.extensions["webapp.readiness"].start()

    def loop_problems(figures):
        if loop is None:
            return []
        lag = loop.lag()
        figures["loop_lag_seconds"] = round(lag, 3)
        return [f"the worker's event loop has not run for {lag:.0f} s"] if lag > stall else []

    def answer(problems, figures):
        if problems:
            payload, status = dict(status="unhealthy", problems=problems, **figures), 503
        else:
            payload, status = dict(status="ok", **figures), 200
        return status, "application/json", json.dumps(payload).encode()

    def livez():
        # From memory alone: no disk, no module call, no look at the store,
        # so that a loaded disk or a large store never reads as death.
        figures = {}
        return answer(loop_problems(figures), figures)

    def readyz():
        problems, figures = readiness.answer()
        return answer(problems + loop_problems(figures), figures)

    def metrics_text():
        body, content_type = metrics.exposition(readiness.output_bytes)
        return 200, content_type, body

    return {"/livez": livez, "/readyz": readyz, "/healthz": readyz, "/metrics": metrics_text}


def start_expiry(app):
    """Starts the timed sweep of the application's output store, in the
    process that serves it: gunicorn.conf.py calls this in each worker once
    the worker has made the application (after gevent's patching, so the
    timer is a greenlet there). Returns the timer's thread, or None when
    both of the store's limits are off."""
    return app.extensions["webapp.store"].start()
