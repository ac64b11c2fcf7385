"""Settings read from prefixed environment variables: each field of a
settings dataclass from PREFIX_<FIELD NAME>, converted by the field's type,
its default where the variable is unset. The application's settings and the
fleet's front read theirs the same way."""

import os
from dataclasses import fields


def read(cls, prefix, environ=os.environ):
    values = {}
    for field in fields(cls):
        raw = environ.get(prefix + field.name.upper())
        if raw is not None:
            values[field.name] = field.type(raw)
    return cls(**values)
