"""The request bodies the routes take: the JSON text read strictly
(`parse_json`), then checked against the route's declared `Body`
(`read_body`), with the API's own messages for whatever is refused.

pydantic rather than msgspec: it reports every missing and unknown member
of a body at once, as the API's messages name them all, and hands each
member's check its name and the application's settings, so that the
messages clients get stay word for word. The members' checks stay the API's
own (a bool is no number, a float may be a whole size).
"""

import json
import math
from typing import Annotated

from flask import current_app, request
from pydantic import BaseModel, ConfigDict, PlainValidator, ValidationError, model_validator
from pydantic_core import PydanticCustomError

# The slowest speech the host asks for.
MIN_SPEED = 0.5
# Numbers in a body are speeds, pitches, sizes and identifiers: none needs
# more digits than this, and a longer one costs the parser quadratic time.
MAX_DIGITS = 20


class BadBody(Exception):
    """A request body the application refuses before calling the module."""


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
