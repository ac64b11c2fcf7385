"""Plain `def` twins of the module's functions, for comparing argument binding."""

import inspect

from doubles import Reached


def twin(function):
    """A `def` with the name, parameters and defaults of `function`, whose body
    raises Reached."""
    params = list(inspect.signature(function).parameters)
    namespace = {"Reached": Reached}
    exec(f"def {function.__name__}({', '.join(params)}): raise Reached", namespace)
    plain = namespace[function.__name__]
    plain.__defaults__ = function.__defaults__
    return plain
