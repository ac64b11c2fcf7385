"""Import-time stand-in for torch, for interpreters that have no CPU build of it here.

The module imports torch when it loads, though only run_mod uses it; on those
interpreters the suite runs without the GPU tests, which need the real library.
"""


class cuda:
    is_available = staticmethod(lambda: False)
    empty_cache = staticmethod(lambda: None)
