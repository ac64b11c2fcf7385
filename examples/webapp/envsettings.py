"""Settings read from prefixed environment variables: each field of a
settings dataclass from PREFIX_<FIELD NAME>, its default where unset. The
application, its server and the fleet's front read theirs this way.

A value is converted as pydantic reads text, and a float must be finite (a
NaN would compare false with every limit). A value its field cannot take
stops the start with SettingError, naming the variable and what it holds.
"""

import dataclasses
import os
import typing

from pydantic import ConfigDict, TypeAdapter, ValidationError

FINITE = ConfigDict(allow_inf_nan=False)


class SettingError(ValueError):
    """An environment variable whose value its setting cannot take."""


def convert(variable, raw, kind):
    """The text `raw` of the environment variable `variable` as a `kind`
    (a type, with any constraints Annotated on it)."""
    try:
        return TypeAdapter(kind, config=FINITE).validate_strings(raw)
    except ValidationError as e:
        reasons = "; ".join(error["msg"] for error in e.errors(include_url=False))
        raise SettingError(f"{variable}={raw!r}: {reasons}") from None


def read(cls, prefix, environ=os.environ):
    """An instance of the dataclass `cls` with each field given by
    `environ`'s PREFIX_<FIELD NAME> where it holds one."""
    kinds = typing.get_type_hints(cls, include_extras=True)
    values = {}
    for field in dataclasses.fields(cls):
        variable = prefix + field.name.upper()
        raw = environ.get(variable)
        if raw is not None:
            values[field.name] = convert(variable, raw, kinds[field.name])
    return cls(**values)
