"""Plain `def` twins of the module's functions, for comparing argument binding."""

import inspect


class Reached(Exception):
    """Raised once a call got past argument binding (see `stop_after_binding`)."""


class Stop:
    """An argument value that ends a call at its first arithmetic."""

    def __mul__(self, other):
        raise Reached


def twin(function):
    """A `def` with the name, parameters and defaults of `function`, whose body
    raises Reached."""
    params = list(inspect.signature(function).parameters)
    namespace = {"Reached": Reached}
    exec(f"def {function.__name__}({', '.join(params)}): raise Reached", namespace)
    plain = namespace[function.__name__]
    plain.__defaults__ = function.__defaults__
    return plain
