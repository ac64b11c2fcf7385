"""The tests' doubles: errors that end a call where a test wants it ended,
an argument value that ends it at its first arithmetic, a stand-in for the
HTTP client whose exchanges fail on cue, and torch with run_mod's calls
recorded."""

import types


def module_copy(module, **replaced):
    """A module object with `module`'s names, some of them replaced: what a
    test sets on dorvane in place of a library it looks up."""
    copy = types.ModuleType(module.__name__)
    copy.__dict__.update(vars(module))
    copy.__dict__.update(replaced)
    return copy


class Reached(Exception):
    """Raised where a test ends a call that got this far."""


class Stop:
    """An argument value that ends a call at its first arithmetic."""

    def __mul__(self, other):
        raise Reached


class Unrelated(Exception):
    """An error no HTTP client raises: it must pass through as it is."""


class Interrupt(BaseException):
    """Not an Exception, as KeyboardInterrupt is not: a clause that catches
    Exception must let it through."""


class Reply:
    """A response whose step `where` ("status", "json", "content" or
    "body") raises `error`; the others give `answer` as JSON and b"audio"."""

    def __init__(self, answer=None, error=None, where=None):
        self.answer, self.error, self.where = answer, error, where

    def _step(self, name):
        if self.where == name:
            raise self.error

    def raise_for_status(self):
        self._step("status")

    def json(self):
        self._step("json")
        return self.answer

    @property
    def content(self):
        self._step("content")
        return b"audio"

    def iter_content(self, chunk_size):
        self._step("body")
        yield b"audio"

    def close(self):
        pass


def client(answer=None, error=None, where=None):
    """A stand-in for `requests` whose POST answers `answer`, and whose step
    `where` raises `error`: "post" or "get" themselves, or one of a Reply's."""

    def post(url, json, timeout):
        if where == "post":
            raise error
        return Reply(answer, error, where)

    def get(url, **kwargs):
        if where == "get":
            raise error
        return Reply(None, error, where)

    return types.SimpleNamespace(post=post, get=get)


class FakeTorch:
    """The real torch, with the calls run_mod makes recorded or replaced."""

    def __init__(self, randn=None, randn_like=None, cuda_available=False):
        # Imported here: the torch-free runs load this file too.
        import torch

        self.calls = []
        self._randn = randn or torch.randn
        self._randn_like = randn_like or torch.randn_like
        self.device = torch.device
        self.cuda = types.SimpleNamespace(
            is_available=lambda: cuda_available,
            empty_cache=lambda: self.calls.append("empty_cache"),
        )

    def randn(self, *args, **kwargs):
        self.calls.append(("randn", args, kwargs))
        return self._randn(*args, **kwargs)

    def randn_like(self, tensor):
        self.calls.append("randn_like")
        return self._randn_like(tensor)
